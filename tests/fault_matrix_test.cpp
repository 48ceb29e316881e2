// The fault matrix: at every step of the dialogue the server closes,
// resets, goes silent, answers 4xx or 5xx, or says 421 and goes; and a few
// ways of replying that must change nothing. Every cell runs over a plain
// and over a faulty connection (3-byte sends, 2-byte receives, every call
// interrupted once) and checks the result, what the server saw, and the time.
//
// With VTL_FAULT_TABLE=FILE set, the cells and what they measured are also
// written to FILE as a Markdown table (the README's reliability section).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "support/dialogue_runner.h"
#include "vtl.h"

namespace vtl::test {
namespace {

// The client's time-outs where the server goes silent, so that the cell
// sees them run out; elsewhere far longer ones than a busy machine needs,
// so that no verdict depends on how fast the server thread is scheduled.
constexpr Millis kTimeout{300};
constexpr Millis kPatient{60000};

const std::vector<std::string> kReplies = {"220 ready",    "250 hi",     "250 ok", "250 ok",
                                           "354 go ahead", "250 queued", "221 bye"};
const std::vector<std::string> kCommands = {"HELO 127.0.0.1",
                                            "MAIL FROM:<a@example.com>",
                                            "RCPT TO:<b@example.com>",
                                            "DATA",
                                            "<data>",
                                            "QUIT"};
const char* const kSteps[] = {"greeting", "HELO", "MAIL", "RCPT", "DATA", "end of data", "QUIT"};

struct Cell {
  std::string step;
  std::string fault;
  std::vector<std::string> server;
  std::vector<std::string> client;
  int result = 0;
  bool timesOut = false;  // the client must have waited out a time-out
};

std::vector<Cell> Cells() {
  std::vector<Cell> cells;
  const struct {
    const char* name;
    std::vector<std::string> turns;
    bool quitFollows;  // the client sends QUIT after this fault
    bool timesOut;
  } faults[] = {
      {"closes", {"<close>"}, false, false},
      {"resets", {"<reset>"}, false, false},
      {"goes silent", {}, true, true},
      {"451 (4xx)", {"451 local error", "221 bye"}, true, false},
      {"554 (5xx)", {"554 refused", "221 bye"}, true, false},
      {"421 and closes", {"421 shutting down", "<close>"}, true, false},
  };
  for (size_t step = 0; step < std::size(kSteps); ++step) {
    for (const auto& f : faults) {
      Cell c;
      c.step = kSteps[step];
      c.fault = f.name;
      c.server.assign(kReplies.begin(), kReplies.begin() + static_cast<long>(step));
      c.server.insert(c.server.end(), f.turns.begin(), f.turns.end());
      // A reset the moment the server accepts can reach the client before
      // its connect has been seen through, which is a failed connect (4).
      // A moment later it is a broken dialogue, which this cell is about.
      if (step == 0 && !c.server.empty() && c.server.front() == "<reset>")
        c.server.front() = "<delay 50><reset>";
      const bool delivered = step == 6;  // only QUIT is left: the mail is in
      c.client.assign(kCommands.begin(),
                      kCommands.begin() + static_cast<long>(std::min<size_t>(step, 6)));
      if (f.quitFollows && !delivered) c.client.push_back("QUIT");
      c.result = delivered ? VTL_SEND_OK : VTL_SEND_DIALOGUE_FAILED;
      c.timesOut = f.timesOut;
      cells.push_back(c);
    }
  }
  // Ways of replying that change nothing.
  auto whole = [](std::string fault, std::vector<std::string> server) {
    Cell c;
    c.step = "every step";
    c.fault = std::move(fault);
    c.server = std::move(server);
    c.client = kCommands;
    c.result = VTL_SEND_OK;
    return c;
  };
  std::vector<std::string> bytewise, atOnce, bareLf;
  for (size_t i = 0; i < kReplies.size(); ++i) {
    bytewise.push_back("<bytewise>" + kReplies[i]);
    bareLf.push_back("<lf>" + kReplies[i]);
    atOnce.push_back(i == 1 ? "+" + kReplies[i] : kReplies[i]);
  }
  cells.push_back(whole("replies one byte at a time", bytewise));
  cells.push_back(whole("replies end in a bare LF", bareLf));
  cells.push_back(whole("greeting and HELO reply in one write", atOnce));
  std::vector<std::string> multiline = kReplies;
  multiline[0] = "220-welcome\\n220-to the\\n220 test server";
  multiline[1] = "250-hi\\n250-SIZE 1000\\n250 8BITMIME";
  cells.push_back(whole("multi-line greeting and HELO reply", multiline));
  // A reply line of 1 MiB is over the 64 KiB line limit: a protocol error.
  Cell huge;
  huge.step = "greeting";
  huge.fault = "reply line of 1 MiB";
  huge.server = {"<pad 1048576>220 ready", "221 bye"};
  huge.client = {"QUIT"};
  huge.result = VTL_SEND_DIALOGUE_FAILED;
  cells.push_back(huge);
  return cells;
}

struct Param {
  Cell cell;
  bool faulty;
};

struct Row {
  std::string cell;  // "| step | fault | result | client sent"
  long long plainMs = -1;
  long long faultyMs = -1;
};
std::mutex g_tableMutex;
std::vector<Row> g_tableRows;

class FaultMatrix : public ::testing::TestWithParam<Param> {};

TEST_P(FaultMatrix, HonestResultInTime) {
  const Cell& cell = GetParam().cell;
  DialogueSetup setup;
  setup.server = cell.server;
  setup.timeout = kPatient;
  if (cell.timesOut) {
    // Only the wait that runs out is short (and the one for QUIT's answer
    // after it): a busy machine may be slow to answer at any other step.
    const auto step = std::find(std::begin(kSteps), std::end(kSteps), cell.step) - kSteps;
    setup.adjust = [step](mail::Timeouts& t) {
      Millis* waits[] = {&t.greeting, &t.other, &t.mail, &t.rcpt, &t.data, &t.endOfData, &t.quit};
      *waits[step] = t.quit = kTimeout;
    };
  }
  setup.faulty = GetParam().faulty;
  const DialogueOutcome out = RunDialogue(setup);
  EXPECT_EQ(cell.result, out.result);
  EXPECT_EQ(cell.client, out.transcript);
  if (cell.result == VTL_SEND_OK || cell.step == "QUIT") {
    EXPECT_NE(std::string::npos, out.data.find("\r\n\r\nHi there\r\n")) << "the message went out";
  }
  // Every wait is bounded: a reply time-out, then the short one for QUIT
  // (with a margin no busy machine needs).
  EXPECT_LT(out.elapsed, (cell.timesOut ? kTimeout : kPatient) * 2 + Millis{20000});
  if (cell.timesOut) {
    EXPECT_GE(out.elapsed, kTimeout);
  }

  std::string client;
  for (const std::string& unit : out.transcript) client += (client.empty() ? "" : ", ") + unit;
  const std::string key =
      "| " + cell.step + " | " + cell.fault + " | " + std::to_string(out.result) + " | " + client;
  std::lock_guard lock(g_tableMutex);
  auto row = std::find_if(g_tableRows.begin(), g_tableRows.end(),
                          [&](const Row& r) { return r.cell == key; });
  if (row == g_tableRows.end()) row = g_tableRows.insert(g_tableRows.end(), Row{key});
  (GetParam().faulty ? row->faultyMs : row->plainMs) = out.elapsed.count();
}

std::vector<Param> AllCells() {
  std::vector<Param> params;
  for (const Cell& c : Cells()) {
    params.push_back({c, false});
    params.push_back({c, true});
  }
  return params;
}

std::string CellName(const ::testing::TestParamInfo<Param>& info) {
  std::string name = info.param.cell.step + "_" + info.param.cell.fault +
                     (info.param.faulty ? "_faulty" : "_plain");
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, ::testing::ValuesIn(AllCells()), CellName);

// Writes the table once every cell has run.
class TableWriter : public ::testing::Environment {
 public:
  void TearDown() override {
    const char* path = std::getenv("VTL_FAULT_TABLE");
    if (path == nullptr || g_tableRows.empty()) return;
    std::ofstream out(path);
    out << "| step | server | result | client sent | plain | faulty |\n"
        << "|---|---|---|---|---|---|\n";
    for (const Row& row : g_tableRows)
      out << row.cell << " | " << row.plainMs << " ms | " << row.faultyMs << " ms |\n";
  }
};

const auto* const g_tableWriter = ::testing::AddGlobalTestEnvironment(new TableWriter);

}  // namespace
}  // namespace vtl::test
