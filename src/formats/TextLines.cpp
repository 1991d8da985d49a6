#include "formats/TextLines.h"

#include <streambuf>

namespace ostra {

namespace {

// Marks the end of input on the stream, unless the caller asked the stream to throw
// for it: reading a line never throws.
void MarkEnd(std::istream& in, bool failed) {
  const auto state = failed ? (std::ios::eofbit | std::ios::failbit) : std::ios::eofbit;
  if ((in.exceptions() & state) == 0) in.setstate(state);
}

}  // namespace

bool ReadTextLine(std::istream& in, std::string& line) {
  line.clear();
  std::streambuf* buf = in.rdbuf();
  if (buf == nullptr) {
    MarkEnd(in, true);
    return false;
  }
  using Traits = std::istream::traits_type;
  const auto eof = Traits::eof();
  bool readSomething = false;
  for (;;) {
    const auto c = buf->sbumpc();
    if (Traits::eq_int_type(c, eof)) {
      MarkEnd(in, !readSomething);
      return readSomething;
    }
    readSomething = true;
    const char ch = Traits::to_char_type(c);
    if (ch == '\n') return true;
    if (ch == '\r') {
      // CR LF is one line end; a lone CR ends the line by itself.
      if (Traits::eq_int_type(buf->sgetc(), Traits::to_int_type('\n'))) buf->sbumpc();
      return true;
    }
    line.push_back(ch);
  }
}

bool AtEnd(std::istream& in) {
  std::streambuf* buf = in.rdbuf();
  if (buf == nullptr) return true;
  return std::istream::traits_type::eq_int_type(buf->sgetc(), std::istream::traits_type::eof());
}

}  // namespace ostra
