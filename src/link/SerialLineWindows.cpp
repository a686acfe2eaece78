#include "link/SerialPort.h"

namespace zelvo {

bool SerialLineHungUp(const QSerialPort&) { return false; }

}  // namespace zelvo
