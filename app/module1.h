// State shared by the windows for the whole run.
#pragma once

#include <QtGlobal>

// A boolean word: 0 is false, -1 (every bit set) is true, and inverting flips every bit.
using BoolWord = qint16;
inline constexpr BoolWord wordFalse = 0;
inline constexpr BoolWord wordTrue = -1;

constexpr BoolWord toWord(bool value)
{
    return value ? wordTrue : wordFalse;
}

namespace Module1 {
// Whether the program believes channel 1 (RTS) or channel 2 (DTR) is on.
extern BoolWord flgCH1;
extern BoolWord flgCH2;
// Whether the port is in the error state; always set together with the status box colour.
extern BoolWord flgPortError;
} // namespace Module1
