// Replay driver: runs a fuzz target without libFuzzer, as a plain test.
//
//   fuzz_<name> [--runs N] [--seed S] [--max-len L] PATH...
//
// Every PATH is a corpus folder (each file in it, in name order) or a single
// input file. After the given inputs come N pseudo-random ones (default 0):
// three in four are mutations of the corpus (bit flips, byte changes, inserted,
// erased, repeated and spliced ranges), the rest fresh random bytes of up to L
// bytes (default 512). The sequence depends only on the seed (default 1) and
// the corpus, so a failure comes back on the next run.
//
// An input that crashes the target, trips a sanitizer or fails a check is
// named on standard error and saved as fuzz-<name>-failure.bin in the current
// folder; replaying that file alone brings the failure back.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Present when a sanitizer runtime is linked in.
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace {

using Bytes = std::vector<uint8_t>;

// The input being run, for the failure report (read from a signal handler).
const Bytes* g_current = nullptr;
char g_label[512] = "";
const char g_failurePath[] = "fuzz-" ZELVO_FUZZ_NAME "-failure.bin";

// Writes everything, or as much as the descriptor takes.
void WriteAll(int fd, const void* bytes, size_t count) {
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written = write(fd, at, count);
    if (written <= 0) return;
    at += written;
    count -= static_cast<size_t>(written);
  }
}

void WriteText(const char* text) { WriteAll(STDERR_FILENO, text, strlen(text)); }

// Async-signal-safe: plain system calls only.
void ReportFailure() {
  if (!g_current) return;
  WriteText("\nfuzz_" ZELVO_FUZZ_NAME ": failing input: ");
  WriteText(g_label);
  WriteText("\nfuzz_" ZELVO_FUZZ_NAME ": saved as ");
  WriteText(g_failurePath);
  WriteText("\n");
  const int fd = open(g_failurePath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    WriteAll(fd, g_current->data(), g_current->size());
    close(fd);
  }
  g_current = nullptr;
}

void OnFatalSignal(int signal) {
  ReportFailure();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void Run(const Bytes& input, const std::string& label) {
  std::snprintf(g_label, sizeof g_label, "%s (%zu bytes)", label.c_str(), input.size());
  g_current = &input;
  LLVMFuzzerTestOneInput(input.data(), input.size());
  g_current = nullptr;
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Mutator {
 public:
  Mutator(uint64_t seed, size_t maxLen) : rng_(seed), maxLen_(maxLen) {}

  size_t Below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  uint8_t AnyByte() { return static_cast<uint8_t>(Below(256)); }

  Bytes Fresh() {
    Bytes b(Below(maxLen_ + 1));
    for (uint8_t& v : b) v = AnyByte();
    return b;
  }

  Bytes Mutate(const std::vector<Bytes>& corpus) {
    Bytes b = corpus[Below(corpus.size())];
    for (size_t n = 1 + Below(4); n > 0; --n) MutateOnce(b, corpus);
    if (b.size() > maxLen_ * 4) b.resize(maxLen_ * 4);
    return b;
  }

 private:
  void MutateOnce(Bytes& b, const std::vector<Bytes>& corpus) {
    // Bytes that mean something to one parser or another: frame markers,
    // text separators, small and extreme values.
    static const uint8_t kTelling[] = {0x00, 0x01, 0x02, 0x04, 0x07, 0x09, 0x7F, 0x80, 0xFF, 0xE6, 0xE7,
                                       0xE8, '\n', '\r', ' ', '=', '[', ']', '"', '\\', ':', '{', '}', '#'};
    const size_t at = Below(b.size() + 1);
    switch (Below(8)) {
      case 0:
        if (!b.empty()) b[Below(b.size())] ^= static_cast<uint8_t>(1u << Below(8));
        break;
      case 1:
        if (!b.empty()) b[Below(b.size())] = AnyByte();
        break;
      case 2:
        if (!b.empty()) b[Below(b.size())] = kTelling[Below(sizeof kTelling)];
        break;
      case 3: {  // insert random bytes
        Bytes add(1 + Below(8));
        for (uint8_t& v : add) v = AnyByte();
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), add.begin(), add.end());
        break;
      }
      case 4: {  // erase a range
        if (b.empty()) break;
        const size_t from = Below(b.size());
        const size_t count = 1 + Below(std::min<size_t>(b.size() - from, 16));
        b.erase(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + count));
        break;
      }
      case 5: {  // repeat a range
        if (b.empty()) break;
        const size_t from = Below(b.size());
        const Bytes piece(b.begin() + static_cast<std::ptrdiff_t>(from),
                          b.begin() + static_cast<std::ptrdiff_t>(from + 1 + Below(std::min<size_t>(b.size() - from, 32))));
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
        break;
      }
      case 6: {  // splice in a range of another corpus entry
        const Bytes& other = corpus[Below(corpus.size())];
        if (other.empty()) break;
        const size_t from = Below(other.size());
        const size_t count = 1 + Below(std::min<size_t>(other.size() - from, 64));
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), other.begin() + static_cast<std::ptrdiff_t>(from),
                 other.begin() + static_cast<std::ptrdiff_t>(from + count));
        break;
      }
      case 7:  // cut short
        b.resize(at);
        break;
    }
  }

  std::mt19937_64 rng_;
  size_t maxLen_;
};

[[noreturn]] void Usage() {
  std::fprintf(stderr, "usage: fuzz_%s [--runs N] [--seed S] [--max-len L] PATH...\n", ZELVO_FUZZ_NAME);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long runs = 0, seed = 1, maxLen = 512;
  std::vector<std::filesystem::path> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto number = [&]() -> unsigned long long {
      if (i + 1 >= argc) Usage();
      char* end = nullptr;
      const unsigned long long v = std::strtoull(argv[++i], &end, 10);
      if (!end || *end) Usage();
      return v;
    };
    if (arg == "--runs") runs = number();
    else if (arg == "--seed") seed = number();
    else if (arg == "--max-len") maxLen = number();
    else if (arg.rfind("--", 0) == 0) Usage();
    else paths.emplace_back(arg);
  }

  for (int s : {SIGSEGV, SIGABRT, SIGFPE, SIGILL}) std::signal(s, OnFatalSignal);
#ifdef SIGBUS  // POSIX only
  std::signal(SIGBUS, OnFatalSignal);
#endif
  if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(ReportFailure);

  std::vector<Bytes> corpus;
  for (const auto& path : paths) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    } else if (std::filesystem::is_regular_file(path)) {
      files.push_back(path);
    } else {
      std::fprintf(stderr, "fuzz_%s: no such file or folder: %s\n", ZELVO_FUZZ_NAME, path.string().c_str());
      return 2;
    }
    for (const auto& file : files) {
      corpus.push_back(ReadFile(file));
      Run(corpus.back(), file.string());
    }
  }

  Mutator mutator(seed, static_cast<size_t>(maxLen));
  for (unsigned long long n = 0; n < runs; ++n) {
    const bool mutate = !corpus.empty() && n % 4 != 0;
    const Bytes input = mutate ? mutator.Mutate(corpus) : mutator.Fresh();
    Run(input, (mutate ? "mutation #" : "random input #") + std::to_string(n) + " of seed " + std::to_string(seed));
  }
  std::printf("fuzz_%s: %zu corpus inputs and %llu random inputs, no failure\n", ZELVO_FUZZ_NAME, corpus.size(),
              runs);
  return 0;
}
