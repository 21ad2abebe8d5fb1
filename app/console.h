#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#if defined(__GNUC__) || defined(__clang__)
#define TOVREL_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define TOVREL_PRINTF_FORMAT(format_index, first_arg)
#endif

namespace tovrel {

// What a line feed in a message becomes on the way out: standard output is in text mode, which
// means CR LF on Windows and a plain LF elsewhere. The Console does this translation itself and
// the sink below it passes bytes through untouched.
#ifdef _WIN32
inline constexpr char kLineEnd[] = "\r\n";
#else
inline constexpr char kLineEnd[] = "\n";
#endif

// Where the Console's bytes end up.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void Write(const char* bytes, std::size_t count) = 0;
  // Pushes anything the sink itself holds back to its destination.
  virtual void Flush() {}
};

// Raw bytes to standard output. On Windows standard output is switched to binary mode so that the
// Console's CR LF is not translated a second time. Write errors are dropped: there is nowhere
// else a message may go.
class StandardOutputSink final : public OutputSink {
 public:
  StandardOutputSink();
  void Write(const char* bytes, std::size_t count) override;
  void Flush() override;
};

// Raw bytes to standard error, for diagnostics that must never mix with the messages on standard
// output. Unbuffered, as standard error is.
class StandardErrorSink final : public OutputSink {
 public:
  void Write(const char* bytes, std::size_t count) override;
  void Flush() override;
};

// Takes everything and keeps nothing.
OutputSink& DiscardedOutput();

// True when standard output is a terminal (console), where messages must appear as soon as they
// are printed. The platform's own (posix/ or win32/standard_output.cpp).
bool StandardOutputIsTerminal();
// Readies standard output for the bytes the Console writes, which carry the platform's line ends
// already: on Windows it leaves text mode, which would turn CR LF into CR CR LF.
void PrepareStandardOutput();

// Collects everything written, for tests and for anyone who wants the output as a string.
class StringSink final : public OutputSink {
 public:
  void Write(const char* bytes, std::size_t count) override { text.append(bytes, count); }
  const std::string& Text() const { return text; }

  std::string text;
};

// Formats the program's messages and hands them to a sink. With `write_through` every message
// reaches the sink as soon as it is formatted (a terminal, where the progress display must move).
// Otherwise (a file or a pipe) each line goes out, and the sink is flushed, as soon as its line end
// has been printed, so that a line once printed survives even a process killed outright; what
// follows the last line end (a progress step) waits for the next line end or for Flush().
class Console {
 public:
  Console(OutputSink& sink, bool write_through);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // printf-style; the message may be of any length. Each "\n" goes out as kLineEnd.
  void Print(const char* format, ...) TOVREL_PRINTF_FORMAT(2, 3);
  // Writes out whatever is still collected and flushes the sink: after each progress step.
  void Flush();
  // A write-through console is a terminal: text from outside is shown escaped there.
  bool IsTerminal() const { return writeThrough; }

 private:
  void Emit(std::string_view text);

  OutputSink& sink;
  bool writeThrough;
  std::string pending;
};

// `text` with every "\n" replaced by kLineEnd: the bytes a Console puts out for that text.
std::string WithPlatformLineEnds(std::string_view text);

}  // namespace tovrel
