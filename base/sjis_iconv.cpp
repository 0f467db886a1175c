// Code page 932 through glibc's iconv. Its "CP932" maps like the Windows code
// page ("SHIFT_JIS" does not); no "//TRANSLIT", so nothing is guessed.
#include <iconv.h>

#include <cerrno>

#include "sjis_backend.h"

namespace kelv::sjis_backend {
namespace {

// Length of the UTF-8 sequence that starts with `c`, for skipping a character
// the code page lacks; a byte that starts no sequence is skipped alone.
size_t Utf8Length(unsigned char c) {
  return c < 0xC2 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 1;
}

// One open converter per direction and thread: opening one costs far more
// than a line of text. Its shift state is cleared before each use.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Returns false when some input was replaced by `bad_out`.
bool Convert(const std::string& in, std::string& out, const Converter& conv,
             const std::string& bad_out, bool utf8_in) {
  out.clear();
  if (!conv.ok()) return false;
  iconv_t cd = conv.get();
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  bool clean = true;
  char buf[256];
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    const size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a sequence cut at the end): skip the offending input.
      clean = false;
      out += bad_out;
      size_t step = utf8_in ? Utf8Length(static_cast<unsigned char>(*src)) : 1;
      if (step > left) step = left;
      src += step;
      left -= step;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return clean;
}

// A thread's converters are closed when it ends, and for the main thread that
// is before the exit handlers run, one of which saves a run's lines when the
// display goes. This flag has no destructor, so it can still be read then; a
// conversion after the close opens a converter for itself.
thread_local bool t_closed = false;

struct Converters {
  Converter encode{"CP932", "UTF-8"};
  Converter decode{"UTF-8", "CP932"};
  ~Converters() { t_closed = true; }
};

// This thread's converters, or null once they are closed.
const Converters* Mine() {
  if (t_closed) return nullptr;
  thread_local const Converters c;
  return &c;
}

}  // namespace

bool Encode(const std::string& utf8, std::string& out) {
  if (const Converters* c = Mine()) return Convert(utf8, out, c->encode, "?", true);
  return Convert(utf8, out, Converter("CP932", "UTF-8"), "?", true);
}

std::string Decode(const std::string& sjis) {
  std::string out;
  const char* bad = "\xEF\xBF\xBD";
  if (const Converters* c = Mine()) {
    Convert(sjis, out, c->decode, bad, false);
  } else {
    Convert(sjis, out, Converter("UTF-8", "CP932"), bad, false);
  }
  return out;
}

}  // namespace kelv::sjis_backend
