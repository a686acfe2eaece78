#include "support/Wine.h"

namespace zelvo::test {

bool UnderWine() { return false; }

}  // namespace zelvo::test
