// Decoding of parity-marked input (PARMRK): the marked form of any byte
// sequence decodes to that sequence, however the reads split it; any input at
// all decodes the same in every chunking and never grows.
//
// Input: flag byte, error character, the byte sequence (length-prefixed), a
// bitmap of which bytes arrive with a parity error, then chunk sizes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "check.h"
#include "termios_tables.h"

namespace {

using Bytes = std::vector<uint8_t>;
using serialtables::RxFilter;

struct Fed {
  Bytes out;
  size_t errors = 0;
};

// Feeds `in` in the chunk sizes given (cycled; 0 means a read that got
// nothing and is followed by a one-byte read), then returns what came out.
Fed FeedChunked(RxFilter filter, const Bytes& in, const Bytes& sizes) {
  Fed r;
  size_t pos = 0;
  size_t k = 0;
  while (pos < in.size()) {
    size_t n = sizes.empty() ? in.size() : sizes[k++ % sizes.size()] % 17;
    if (n == 0) {
      r.errors += filter.Feed(in.data() + pos, 0, r.out);
      n = 1;
    }
    if (n > in.size() - pos) n = in.size() - pos;
    r.errors += filter.Feed(in.data() + pos, n, r.out);
    pos += n;
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  RxFilter::Options opt;
  opt.marks = (flags & 4) == 0;
  opt.discard_null = (flags & 1) != 0;
  opt.replace_errors = (flags & 2) != 0;
  opt.error_char = in.ConsumeIntegral<uint8_t>();
  const Bytes seq = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 512));
  const Bytes faulty = in.ConsumeBytes<uint8_t>(seq.size() / 8 + 1);
  const Bytes sizes = in.ConsumeRemainingBytes<uint8_t>();
  auto is_faulty = [&](size_t i) {
    return i / 8 < faulty.size() && (faulty[i / 8] >> (i % 8)) & 1;
  };

  // Any input: the split between reads changes nothing, nothing is invented.
  const Fed whole = FeedChunked(RxFilter(opt), seq, {});
  const Fed split = FeedChunked(RxFilter(opt), seq, sizes);
  FUZZ_CHECK(whole.out == split.out);
  FUZZ_CHECK(whole.errors == split.errors);
  FUZZ_CHECK(whole.out.size() <= seq.size());
  if (!opt.marks) {
    // A device that marks nothing: bytes pass unchanged (NULs aside).
    Bytes expect;
    for (uint8_t b : seq) {
      if (!(opt.discard_null && b == 0)) expect.push_back(b);
    }
    FUZZ_CHECK(whole.out == expect);
    FUZZ_CHECK(whole.errors == 0);
    return 0;
  }

  // The marked form of seq, as the line discipline delivers it, and what the
  // decoder must give back.
  Bytes marked;
  Bytes expect;
  size_t expect_errors = 0;
  for (size_t i = 0; i < seq.size(); ++i) {
    const uint8_t b = seq[i];
    uint8_t delivered = b;
    if (is_faulty(i)) {
      marked.insert(marked.end(), {0xFF, 0x00, b});
      ++expect_errors;
      if (opt.replace_errors) delivered = opt.error_char;
    } else if (b == 0xFF) {
      marked.insert(marked.end(), {0xFF, 0xFF});
    } else {
      marked.push_back(b);
    }
    if (!(opt.discard_null && delivered == 0)) expect.push_back(delivered);
  }

  RxFilter filter(opt);
  Fed got = FeedChunked(filter, marked, sizes);
  FUZZ_CHECK(got.out == expect);
  FUZZ_CHECK(got.errors == expect_errors);

  // A well-formed stream leaves no mark half-read: the next byte is plain.
  filter = RxFilter(opt);
  Bytes tail;
  filter.Feed(marked.data(), marked.size(), tail);
  tail.clear();
  const uint8_t a = 'A';
  FUZZ_CHECK(filter.Feed(&a, 1, tail) == 0);
  FUZZ_CHECK(tail == Bytes{'A'});
  return 0;
}
