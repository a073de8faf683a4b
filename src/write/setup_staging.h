// Setup staging: the values that tag writes keep in the instance for later controller commands.
//
// Writing a setup-value tag (operation codes 100 to 115) or a setup-text tag (130 to 134) sends
// nothing; the value is checked and kept in the instance's SetupStage, and a later write of 1 to
// a command tag builds its frame from what is staged. SingleWrite calls StageSetup for these
// codes; the read function reads the members back.
//
// Tags without a lock number. PLOCK, PLOUD and PDAJT may be configured without a lock number;
// their lockNumber is then 0, and no lock 0 exists. Such a tag (and any lock number outside 1 to
// 16 that a host might hand over) names no staged value: a write is refused with
// "RIRODI: legal lock number is 1..16, GAS %s" and result 1, and a read answers 1 with the value
// area untouched, like any tag the driver holds no value for. Likewise a bit tag whose bit number
// lies outside its member (PDORS 0..15, PWKDS 0..10, PLOCK 0..7) is refused with
// "RIRODI: legal bit number is 0..N, GAS %s" on write and answered with 1 on read.
#pragma once

#include <cstdint>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"

namespace kiv {

// Sets every member to its cold-start value: texts empty, per-lock bytes 0, doorMask,
// weekdayMask, holidayType, holidayDateIndex, password1, password2 and lfrtFlag 0, and dfrmFlag,
// efrmFlag, pevsFlag, dipMode, timeZone1 and timeZone2 1.
void ResetSetupStage(SetupStage& stage);

// Whether the code is a staged setup value (100 to 115) or setup text (130 to 134).
bool IsStagedOperation(int32_t operation);

// What became of a staged write.
enum class StageResult {
    kStored,   // stored, or there was nothing to store
    kRefused,  // refused; nothing changed
};

// Stages the written value of a setup tag. 'upperAddress' is the upper-cased address text that
// refusal lines name. Stored also when there was nothing to store (a bit write of a value other
// than 0 and 1, a data type other than 0 and 6 for PDORS, PWKDS and PLOCK). Refused: an
// out-of-range number or a bad lock or bit number (with a line at level 32), a text that its
// converter refuses or a text tag whose record is not a STRING tag (without a line), or an
// operation code that is not staged. A refused write never changes a member.
StageResult StageSetup(SetupStage& stage, const GateAccess& gate, const char* upperAddress);

}  // namespace kiv
