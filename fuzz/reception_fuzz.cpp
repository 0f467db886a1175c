// The byte step of a reception run, under every marker setting, with and
// without the colon option and the EIA translation.
//
// Input: the first byte chooses the settings, the rest is what the line
// delivers. Each step is checked against a plain model of the step and against
// properties the output file relies on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "eia.h"
#include "reception.h"

namespace {

constexpr char kMarks[4] = {'%', 'D', 'N', 0};

bool NeverStored(uint8_t b) {
  return b == 0x0A || b == 0x0D || (b >= 0x11 && b <= 0x14);
}
bool Blank(char c) {
  return static_cast<uint8_t>(c) <= 0x20;
}

// The step written out once more, as plainly as possible.
struct Model {
  kelv::ReceptionSettings s;
  std::vector<std::string> lines;
  std::string current;
  bool started = false;
  bool finished = false;

  static std::string Trim(const std::string& l) {
    size_t b = 0, e = l.size();
    while (b < e && Blank(l[b])) ++b;
    while (e > b && Blank(l[e - 1])) --e;
    return l.substr(b, e - b);
  }

  // Returns whether the byte completed a line.
  bool Step(uint8_t b) {
    if (s.Eia) b = kelv::EiaToIso(b);
    if (s.StartMark == '%' && b == '%' && !started) {
      started = true;
    } else if (s.StartMark == 'D' && b == 0x12 && !started) {
      started = true;
    } else if (s.StartMark == 'N' && b == 0x0A && !started) {
      started = true;
    } else if (s.EndMark == '%' && b == '%' && started) {
      finished = true;
    } else if (s.EndMark == 'D' && b == 0x14 && started) {
      finished = true;
    } else if (s.ColonAsO && b == ':') {
      b = 'O';
    }
    if (b == 0x0A && started) {
      lines.push_back(Trim(current));
      current.clear();
      return true;
    }
    if (started && !NeverStored(b)) current.push_back(static_cast<char>(b));
    return false;
  }
};

void CheckStoredLine(const std::string& line, const kelv::ReceptionSettings& s,
                     bool eia_image[256]) {
  for (char c : line) {
    const uint8_t b = static_cast<uint8_t>(c);
    FUZZ_CHECK(!NeverStored(b));
    if (s.ColonAsO) FUZZ_CHECK(b != ':');
    if (s.Eia) FUZZ_CHECK(eia_image[b]);
  }
  if (!line.empty()) {
    FUZZ_CHECK(!Blank(line.front()));
    FUZZ_CHECK(!Blank(line.back()));
  }
}

size_t StoredBytes(const kelv::Reception& r) {
  size_t n = r.CurrentLine().size();
  for (const std::string& l : r.Lines()) n += l.size();
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  kelv::ReceptionSettings s;
  s.StartMark = kMarks[data[0] & 3];
  s.EndMark = kMarks[(data[0] >> 2) & 3];
  s.ColonAsO = (data[0] & 0x10) != 0;
  s.Eia = (data[0] & 0x20) != 0;
  ++data;
  --size;

  bool eia_image[256] = {};
  for (int i = 0; i < 256; ++i) eia_image[kelv::EiaToIso(static_cast<uint8_t>(i))] = true;

  const bool can_start = s.StartMark == '%' || s.StartMark == 'D' || s.StartMark == 'N';
  const bool can_end = s.EndMark == '%' || s.EndMark == 'D';

  kelv::Reception r(s);
  Model m{s, {}, {}, false, false};
  size_t completed = 0;

  for (size_t i = 0; i < size; ++i) {
    if (r.Finished()) {
      // The run stops here; a stray byte must not change anything either.
      const std::vector<std::string> lines = r.Lines();
      const std::string current = r.CurrentLine();
      const int64_t count = r.LineCount();
      const kelv::Reception::StepResult res = r.Step(data[i]);
      FUZZ_CHECK(res.finished);
      FUZZ_CHECK(!res.line_completed);
      FUZZ_CHECK(r.Finished() && r.Started());
      FUZZ_CHECK(r.Lines() == lines && r.CurrentLine() == current && r.LineCount() == count);
      continue;
    }

    const kelv::Reception::StepResult res = r.Step(data[i]);
    const bool model_completed = m.Step(data[i]);

    FUZZ_CHECK(res.line_completed == model_completed);
    FUZZ_CHECK(res.finished == r.Finished());
    FUZZ_CHECK(r.Started() == m.started && r.Finished() == m.finished);
    FUZZ_CHECK(r.Lines() == m.lines);
    FUZZ_CHECK(r.CurrentLine() == m.current);

    if (!r.Started()) {
      FUZZ_CHECK(r.Lines().empty() && r.CurrentLine().empty() && r.LineCount() == 0);
    }
    if (r.Finished()) FUZZ_CHECK(r.Started());
    if (!can_start) FUZZ_CHECK(!r.Started());
    if (!can_end) FUZZ_CHECK(!r.Finished());

    if (res.line_completed) {
      ++completed;
      // The display shows the line as received; the stored line is its trim.
      FUZZ_CHECK(Model::Trim(res.display) == r.Lines().back());
      for (char c : res.display) FUZZ_CHECK(!NeverStored(static_cast<uint8_t>(c)));
      CheckStoredLine(r.Lines().back(), s, eia_image);
      FUZZ_CHECK(r.CurrentLine().empty());
    } else {
      FUZZ_CHECK(res.display.empty());
    }
    FUZZ_CHECK(r.LineCount() == static_cast<int64_t>(completed));
    FUZZ_CHECK(r.Lines().size() == completed);
    FUZZ_CHECK(StoredBytes(r) <= i + 1);
    for (char c : r.CurrentLine()) FUZZ_CHECK(!NeverStored(static_cast<uint8_t>(c)));
  }

  // End of the run: the unfinished line joins, trimmed; the count stays.
  const bool had_partial = !r.CurrentLine().empty();
  const size_t before = StoredBytes(r);
  r.FinishRun();
  FUZZ_CHECK(r.CurrentLine().empty());
  FUZZ_CHECK(r.LineCount() == static_cast<int64_t>(completed));
  FUZZ_CHECK(r.Lines().size() == completed + (had_partial ? 1 : 0));
  FUZZ_CHECK(StoredBytes(r) <= before);
  for (const std::string& l : r.Lines()) CheckStoredLine(l, s, eia_image);
  if (had_partial) FUZZ_CHECK(r.Lines().back() == Model::Trim(m.current));
  return 0;
}
