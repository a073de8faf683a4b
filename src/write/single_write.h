// Function 7: SingleWrite, a value written to one of the driver's tags.
//
// By the tag's upper-cased address and its operation code, in this order:
//
//   PBINM, PBIN2        the name text is checked (no ".", ";", "," or "@"); nothing is stored
//   SEND_ACK            the process-wide switch: 1 stops the acknowledgements of every
//                       instance in the process, any other value lets them go out again
//   100 to 115, 130..134  the value is staged for later commands
//   INPUT (200)         refused: it cannot be written
//   DOWNLOAD            1 stages the next badge of the download list
//   COUNTERD, PENUM     accepted, nothing else happens
//   INVERT              BADGECODE is derived from INCOMING again
//   xFSPARD             refused while the date or time is not staged; else sent as a command
//   xFSPARS             1 starts the setup download of controller x
//   SEND_STR_FROM_FILE  the command-list entry with the written number is sent as it stands,
//                       without awaiting an answer
//   xFxxxx              a command tag: its command is sent as a transaction of up to three
//                       attempts (the key commands take two transactions); on success the
//                       tag's value is set back to 0
//   any other tag       refused with "RIRODI: write operation is not available, GAS %s": a
//                       status tag or a named tag without a rule of its own sends nothing
//
// Writes on several host threads for one instance are serialised by transactionLock; each gets
// its own result.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

int32_t SingleWrite(KivRequest* request);

}  // namespace kiv
