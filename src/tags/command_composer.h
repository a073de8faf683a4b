// The command composer: the protocol frames of controller commands, built from the command tag
// and the values staged in the instance, and the check of the key answer.
//
// SingleWrite calls these while it holds the instance's transactionLock; the composer takes no
// lock itself, sends nothing and keeps no state. It changes the instance in two places only:
// FSPAR U marks the setup upload as running, and an accepted key answer replaces the two key
// answer numbers.
//
// Every frame is built in a zero-filled frame buffer as LF, ";", the controller prefix (">" and
// the controller number, only for controllers other than 0), the command body, and is then
// finished by FinishFrame (closing ";", upper-casing, checksum, CR); a frame is at most 255
// bytes.
//
// A staged text that a frame places in a fixed field (from and to time, 8 characters each, in
// the time-zone command; date 8 and time 5 characters in FSPAR D) must fill that field: a
// shorter text would end the frame early, without the fields after it. BuildCommand refuses such
// a command with a line at level 32 that names the missing field and the tag's address, and
// builds nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"

namespace kiv {

inline constexpr size_t kDayLetterCount = 11;
// The letter of the key query's data answer.
inline constexpr int32_t kKeyAnswerLetter = 'L';

// What BuildCommand built and what SingleWrite is to await for it.
struct CommandFrame {
    uint16_t length;         // bytes of the frame, without its terminator
    AnswerMode answerMode;   // kAnswerAck, or kAnswerData for the key query
    int32_t expectedAnswer;  // kKeyAnswerLetter for the key query, 0 otherwise
};

// What BuildCommand did.
enum class BuildResult {
    kBuilt,    // the frame is in the buffer
    kRefused,  // nothing was built; the reason is logged
};

// Builds the frame of the command tag that the request's GateAccess describes (operation codes
// 0 to 13; for FSPAR the option letter is the seventh character of the upper-cased address).
// Built: the frame is in 'frame' and 'built' is filled in. Refused: a written value other than
// 1, FSPAR U while an upload runs, a staged text too short for its field, or no instance or
// tag record; the reason is logged here at level 32 and nothing is built.
// The staged values come from 'stage', the snapshot the command took at its start.
BuildResult BuildCommand(KivRequest& request, const SetupStage& stage,
                         char (&frame)[kFrameBufferSize], CommandFrame& built);

// The day letters of the time-zone command: for bits 0 to 10 of the host's current value of the
// tag "PWKDS", the letter of "MTWTFSS1234" at that place when the bit is set, "-" when it is
// not. A missing or unreadable tag (or a value that is no 32-bit integer) gives eleven "-".
// Writes exactly eleven characters and no terminator.
void DayLetters(char (&letters)[kDayLetterCount], const DriverInstance& instance);

// Checks a received answer (a NUL-terminated text; 'length' is not used, the text's own length
// counts): its checksum (four hexadecimal digits, either case) and, when the instance awaits the
// key answer, its form: LF, ";L ", a number, ",", a number, then "," or ";", each number of at
// most kKeyNumberDigits (9) decimal digits, the most the badge table keeps (a longer number is
// rejected, nothing is overrun). Accepted: the two
// numbers are kept in keyAnswerNumber1 and keyAnswerNumber2. Rejected: the previous numbers stay.
enum class KeyAnswerCheck { kAccepted, kRejected };
KeyAnswerCheck CheckKeyAnswer(KivRequest& request, const char* answer, size_t length);

// Builds the key record that follows an accepted key answer: for FDELK "D " and the two key
// numbers; for FADDK "A ", the two key numbers, the badge code (its first ten characters), the
// door mask in hexadecimal without leading zeros, the staged date and the combined time-zone
// number, all from 'stage'. Returns the frame's length.
uint16_t BuildKeyRecord(KivRequest& request, const SetupStage& stage,
                        char (&frame)[kFrameBufferSize]);

}  // namespace kiv
