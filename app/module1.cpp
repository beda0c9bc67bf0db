#include "app/module1.h"

namespace Module1 {
BoolWord flgCH1 = wordFalse;
BoolWord flgCH2 = wordFalse;
BoolWord flgPortError = wordFalse;
} // namespace Module1
