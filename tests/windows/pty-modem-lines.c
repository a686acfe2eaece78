/* Preloaded into Wine for the COM-port tests: a pseudo-terminal has no modem
 * lines, so TIOCMGET fails on it, and Wine's wait for serial events
 * (WaitCommEvent, which Qt's serial port reads by) gives up at once. Here a
 * terminal that answers TIOCMGET with ENOTTY or EINVAL is given the idle lines
 * of a connected port (DSR and CTS). Nothing else is changed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int ioctl(int fd, unsigned long request, ...) {
  static int (*real_ioctl)(int, unsigned long, ...);
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (!real_ioctl) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  const int result = real_ioctl(fd, request, arg);
  if (result < 0 && request == TIOCMGET && (errno == ENOTTY || errno == EINVAL) && isatty(fd)) {
    *(int*)arg = TIOCM_DSR | TIOCM_CTS;
    return 0;
  }
  return result;
}
