// The real cable as the programs wire it, with no cable attached: what its
// trace says, for one cable and for several sharing one trace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "link/TracedCable.h"

namespace kelvo {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

double TimeOf(const std::string& line) { return std::stod(line.substr(line.find("\"t\":") + 4)); }

// kelvo-flash's boards share one trace: each line whole, named by its cable's
// serial (quotes and commas stay inside the string), all on the trace's clock.
// A trace of one cable names none; without a trace the cable is used as is.
TEST(TracedCable, CablesSharingATraceNameTheirLinesOnOneClock) {
  std::ostringstream out;
  TraceWriter trace(out);
  TracedCable first(&trace, "KV\"1,2");
  TracedCable lister(&trace, "");
  TracedCable alone(&trace);
  TracedCable untraced(nullptr);

  FT_HANDLE handle = 0;
  EXPECT_EQ(first.Driver().FT_OpenEx("Corvane Serial Link", FT_OPEN_BY_DESCRIPTION, &handle),
            FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(lister.Driver().FT_Purge(7, FT_PURGE_RX), FT_INVALID_HANDLE);
  EXPECT_EQ(alone.Driver().FT_SetLatencyTimer(7, 2), FT_INVALID_HANDLE);
  EXPECT_EQ(untraced.Driver().FT_SetLatencyTimer(7, 2), FT_INVALID_HANDLE);
  EXPECT_EQ(&untraced.Driver(), static_cast<const FtdiDriver*>(&untraced.Cable()));

  const std::vector<std::string> lines = Lines(out.str());
  ASSERT_EQ(lines.size(), 3u) << out.str();
  EXPECT_THAT(lines[0], StartsWith(R"({"serial":"KV\"1,2","t":)"));
  EXPECT_THAT(lines[0], EndsWith(R"(,"call":"FT_OpenEx","args":["Corvane Serial Link",2],"status":2})"));
  EXPECT_THAT(lines[1], StartsWith(R"({"serial":"","t":)"));
  EXPECT_THAT(lines[1], EndsWith(R"(,"call":"FT_Purge","args":[1],"status":1})"));
  EXPECT_THAT(lines[2], StartsWith(R"({"t":)"));
  EXPECT_THAT(lines[2], EndsWith(R"(,"call":"FT_SetLatencyTimer","args":[2],"status":1})"));
  EXPECT_LE(TimeOf(lines[0]), TimeOf(lines[1]));
  EXPECT_LE(TimeOf(lines[1]), TimeOf(lines[2]));
}

// A trace that takes no line says why, from the first line that failed on:
// a file that will not open, a full device, a stream that went bad later.
TEST(TracedCable, TraceThatCannotBeWrittenSaysWhy) {
  struct Case {
    std::string path;
    std::string problem;  // "": every line went in
  };
  const std::vector<Case> cases = {
      {::testing::TempDir() + "kelvo-trace-ok.jsonl", ""},
      {"/dev/full", "cannot write '/dev/full': No space left on device"},
      {"/nonexistent/trace.jsonl", "cannot write '/nonexistent/trace.jsonl': No such file or directory"},
  };
  for (const Case& c : cases) {
    TraceWriter trace(c.path);
    EXPECT_EQ(trace.Problem(), "") << c.path << ": nothing written yet";
    trace.Write("{}");
    trace.Write("{}");
    EXPECT_EQ(trace.Problem(), c.problem) << c.path;
  }
  std::ostringstream out;
  TraceWriter later(out);
  later.Write("{}");
  out.setstate(std::ios::badbit);
  later.Write("{}");
  EXPECT_THAT(later.Problem(), StartsWith("cannot write the trace: "));
  EXPECT_EQ(out.str(), "{}\n");
}

}  // namespace
}  // namespace kelvo
