// Operation codes: the driver word that Parse stores with a tag and that reads and writes
// dispatch on. Commands 0 to 13 follow the command keyword table, setup values 100 to 115 the
// parameter table, setup texts 130 to 134 the string parameter table.
#pragma once

#include <cstdint>

namespace kiv {

enum OperationCode : int32_t {
    // Commands: a controller digit and the keyword, such as 2FADDK.
    kOpFaddk = 0,  // add key
    kOpFdelk = 1,  // delete key
    kOpFmodk = 2,  // modify key
    kOpFsttz = 3,  // set time zone
    kOpFrths = 4,
    kOpFshol = 5,  // set holiday
    kOpFsahs = 6,
    kOpFspar = 7,  // system parameters, with an option letter
    kOpFster = 8,
    kOpFpprn = 9,
    kOpFsndd = 10,
    kOpFaprn = 11,
    kOpFerdb = 12,
    kOpFstat = 13,  // status query
    // Setup values.
    kOpPdors = 100,  // door mask
    kOpPwkds = 101,  // weekday mask
    kOpPholt = 102,  // holiday type
    kOpPpsw1 = 103,  // password 1
    kOpPpsw2 = 104,  // password 2
    kOpPlfrt = 105,
    kOpPdfrm = 106,
    kOpPdmod = 107,  // DIP switches mode
    kOpPpevs = 108,
    kOpPtzn1 = 109,  // time zone 1
    kOpPtzn2 = 110,  // time zone 2
    kOpPdati = 111,  // holiday date index
    kOpPlock = 112,  // extended lock byte
    kOpPloud = 113,  // unlock duration
    kOpPdajt = 114,  // door-ajar time-out
    kOpPefrm = 115,
    // Setup texts.
    kOpPfrtm = 130,  // from time
    kOpPtotm = 131,  // to time
    kOpPkcod = 132,  // badge code
    kOpPdate = 133,  // date
    kOpPtime = 134,  // time
    // The last event's text.
    kOpInput = 200,
};

inline constexpr int32_t kFirstCommandOp = kOpFaddk;
inline constexpr int32_t kLastCommandOp = kOpFstat;
inline constexpr int32_t kFirstValueOp = kOpPdors;
inline constexpr int32_t kLastValueOp = kOpPefrm;
inline constexpr int32_t kFirstTextOp = kOpPfrtm;
inline constexpr int32_t kLastTextOp = kOpPtime;

// The controller word of parameter, string parameter and INPUT tags.
inline constexpr int32_t kParameterController = 10;

// The option letters of FSPAR command tags.
inline constexpr char kFsparOptionLetters[] = "LXFDPVNUSMO";

}  // namespace kiv
