#include "link/IrdaStack.h"

namespace zelvo {

namespace {
IrdaStack* g_stack = nullptr;
}

IrdaStack* CurrentIrdaStack() { return g_stack ? g_stack : &PlatformIrdaStack(); }

IrdaStack* SetIrdaStack(IrdaStack* stack) {
  IrdaStack* previous = g_stack;
  g_stack = stack;
  return previous;
}

}  // namespace zelvo
