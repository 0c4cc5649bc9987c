// The adapter's side of the line against the Lawicel protocol's replies, and against the
// scripted os layer playing each kind of adapter: one that answers every command, one that
// refuses the bit rate, one that answers nothing, one that acknowledges frames and stops.
#include "link/can_adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake_os.h"

namespace vontrel {
namespace {

TEST(can_adapter_test, replies_sorted_as_the_protocol_gives_them) {
  struct Case {
    const char* bytes;
    std::vector<std::pair<CanReply, std::string>> replies;
  };
  const Case cases[] = {
      {"\r", {{CanReply::ok, ""}}},
      {"\a", {{CanReply::refused, ""}}},
      {"z\rZ\r", {{CanReply::acknowledged, "z"}, {CanReply::acknowledged, "Z"}}},
      {"V1013\r", {{CanReply::version, "V1013"}}},
      {"T18FEF1008F7005AFDFF5AFFFF\r", {{CanReply::frame, "T18FEF1008F7005AFDFF5AFFFF"}}},
      {"t3C045A030700\r", {{CanReply::frame, "t3C045A030700"}}},
      {"F00\r", {{CanReply::status, "F00"}}},
      // Commands echoed, or written by another host on the line: neither reply nor foreign.
      {"C\rS5\rZ0\r", {{CanReply::echo, "C"}, {CanReply::echo, "S5"}, {CanReply::echo, "Z0"}}},
      // A BEL ends what came before it on its line.
      {"V1\a", {{CanReply::version, "V1"}, {CanReply::refused, ""}}},
      // A GPS on the port: lines ending CR LF.
      {"$GPGGA,1\r\n$GPRMC,2\r\n",
       {{CanReply::foreign, "$GPGGA,1"}, {CanReply::foreign, "$GPRMC,2"}}},
      // A command whose CR the terminal turned into LF before the port was set up.
      {"O\n", {{CanReply::echo, "O"}}},
      // No reply is that long: a device that never sends a CR.
      {"0123456789012345678901234567890123",
       {{CanReply::foreign, "0123456789012345678901234567890"}}},
      // Half a line waits for the rest.
      {"z", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    CanReplyReader reader;
    std::vector<CanReplyReader::Reply> replies;
    const std::string bytes = c.bytes;
    reader.feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), replies);
    std::vector<std::pair<CanReply, std::string>> got;
    got.reserve(replies.size());
    for (const CanReplyReader::Reply& reply : replies) {
      got.emplace_back(reply.kind, reply.text);
    }
    EXPECT_EQ(got, c.replies);
  }
}

class can_adapter_fake_test : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_os::reset();
    std::string error;
    ASSERT_TRUE(port.open("COM8", error));
  }
  void TearDown() override { port.close(); }

  std::vector<std::string> written() {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    std::vector<std::string> lines;
    lines.reserve(fake_os::state().writes.size());
    for (const auto& write : fake_os::state().writes) {
      lines.emplace_back(write.begin(), write.end());
    }
    return lines;
  }
  void answer(std::vector<std::string> answers) {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    fake_os::state().answers = std::move(answers);
  }
  void send_in(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    fake_os::state().input.insert(fake_os::state().input.end(), bytes.begin(), bytes.end());
  }
  std::vector<std::pair<CanNews, std::string>> news() {
    std::vector<std::pair<CanNews, std::string>> told;
    CanNews one{};
    std::string detail;
    while (adapter.take_news(one, detail)) {
      told.emplace_back(one, detail);
    }
    return told;
  }

  SerialPort port;
  CanAdapter adapter{port};
};

constexpr std::uint64_t SECOND_US = 1000000;

TEST_F(can_adapter_fake_test, the_answers_to_the_hand_shake_and_what_the_adapter_said_of_itself) {
  struct Case {
    const char* what;
    std::vector<std::string> answers;  // to the bare CR, and to "C", "S5", "O", "V" at once
    std::vector<std::pair<CanNews, std::string>> news;
  };
  const Case cases[] = {
      {"a Lawicel adapter", {"\a", "\r\r\rV1013\r"}, {{CanNews::version, "V1013"}}},
      {"one that refuses the bit rate", {"", "\r\a\r"}, {{CanNews::refused_bitrate, "S5"}}},
      {"one that cannot open", {"", "\r\r\a"}, {{CanNews::refused_open, "O"}}},
      // A BEL to C is no news: an adapter whose channel is closed says so.
      {"a closed channel", {"", "\a\r\r"}, {}},
      // The CR's BEL, come late, is taken for C's answer: still no news.
      {"a slow answer to the CR", {"", "\a\r\r\rV2\r"}, {{CanNews::version, "V2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port.close();
    fake_os::reset();
    std::string error;
    ASSERT_TRUE(port.open("COM8", error));
    answer(c.answers);
    CanAdapter fresh{port};
    const std::uint64_t opened = os::now_us();
    fresh.opened(opened);
    ASSERT_TRUE(fresh.begin_hand_shake('5', opened));
    // The commands wait for what the CR brings back, without holding anybody up.
    ASSERT_TRUE(fresh.step(opened));
    EXPECT_EQ(written(), (std::vector<std::string>{"\r"}));
    ASSERT_TRUE(fresh.step(opened + std::uint64_t{CAN_FLUSH_MS} * 1000));
    EXPECT_FALSE(fresh.hand_shaking());
    ASSERT_TRUE(fresh.poll(opened + std::uint64_t{CAN_FLUSH_MS} * 1000));
    EXPECT_EQ(written(), (std::vector<std::string>{"\r", "C\rS5\rO\rV\r"}));
    std::vector<std::pair<CanNews, std::string>> told;
    CanNews one{};
    std::string detail;
    while (fresh.take_news(one, detail)) {
      told.emplace_back(one, detail);
    }
    EXPECT_EQ(told, c.news);
    // It answered: the hand-shake is not sent again.
    EXPECT_FALSE(fresh.hand_shake_due(os::now_us() + SECOND_US));
  }
}

TEST_F(can_adapter_fake_test, a_silent_adapter_is_asked_again_for_three_seconds_then_sent_blind) {
  const std::uint64_t opened = os::now_us();
  adapter.opened(opened);
  ASSERT_TRUE(adapter.begin_hand_shake('5', opened));
  ASSERT_TRUE(adapter.step(opened + std::uint64_t{CAN_FLUSH_MS} * 1000));
  // A board whose bootloader ate the hand-shake gets it again, while its first seconds last.
  EXPECT_FALSE(adapter.hand_shake_due(opened + SECOND_US / 2));
  EXPECT_TRUE(adapter.hand_shake_due(opened + SECOND_US * 3 / 2));
  EXPECT_FALSE(adapter.hand_shake_due(opened + SECOND_US * 4));
  ASSERT_TRUE(adapter.poll(opened + SECOND_US));
  EXPECT_EQ(news(), (std::vector<std::pair<CanNews, std::string>>{}));
  ASSERT_TRUE(adapter.poll(opened + SECOND_US * 3));
  EXPECT_EQ(news(), (std::vector<std::pair<CanNews, std::string>>{{CanNews::silent, ""}}));
  ASSERT_TRUE(adapter.poll(opened + SECOND_US * 5));
  EXPECT_EQ(news(), (std::vector<std::pair<CanNews, std::string>>{})) << "told once";
}

TEST_F(can_adapter_fake_test, another_device_on_the_port_is_told_once_and_is_not_silent) {
  const std::uint64_t opened = os::now_us();
  adapter.opened(opened);
  send_in("$GPGGA,1\r\n$GPGGA,2\r\n");
  ASSERT_TRUE(adapter.poll(opened + SECOND_US));
  ASSERT_TRUE(adapter.poll(opened + SECOND_US * 4));
  EXPECT_EQ(news(), (std::vector<std::pair<CanNews, std::string>>{{CanNews::foreign, ""}}));
}

TEST_F(can_adapter_fake_test, frames_nobody_acknowledges_are_told_and_so_is_their_return) {
  const std::uint64_t start = os::now_us();
  adapter.opened(start);
  send_in("\r");  // it answers
  ASSERT_TRUE(adapter.poll(start));
  // Acknowledged frames: all well.
  adapter.sent(12, start);
  send_in("Z\rZ\r");
  ASSERT_TRUE(adapter.poll(start + 10000));
  // Counted from the first acknowledgement: a slot of 12 unanswered holds the next once its
  // answers are late (not at once: an FTDI adapter's come 16 ms after).
  EXPECT_FALSE(adapter.holding(12, start + 10000));
  adapter.sent(12, start + 10000);
  EXPECT_FALSE(adapter.holding(12, start + 20000));
  EXPECT_TRUE(adapter.holding(12, start + 70000));
  send_in("Z\r");
  ASSERT_TRUE(adapter.poll(start + 75000));
  EXPECT_FALSE(adapter.holding(12, start + 80000)) << "it reads again";
  send_in("Z\rZ\rZ\rZ\rZ\rZ\rZ\rZ\rZ\rZ\rZ\r");
  ASSERT_TRUE(adapter.poll(start + 78000));
  EXPECT_FALSE(adapter.holding(12, start + 80000));
  // Then the queue fills: BEL for each frame, and no acknowledgement for a second.
  adapter.sent(12, start + 80000);
  send_in("\a\a\a\a\a\a\a\a\a\a\a\a");
  ASSERT_TRUE(adapter.poll(start + 500000));
  EXPECT_EQ(news(), (std::vector<std::pair<CanNews, std::string>>{}));
  ASSERT_TRUE(adapter.poll(start + 1100000));
  EXPECT_EQ(news(), (std::vector<std::pair<CanNews, std::string>>{{CanNews::unacknowledged, ""}}));
  adapter.sent(12, start + 1200000);
  send_in("Z\r");
  ASSERT_TRUE(adapter.poll(start + 1210000));
  EXPECT_EQ(news(), (std::vector<std::pair<CanNews, std::string>>{{CanNews::acknowledged, ""}}));
}

TEST_F(can_adapter_fake_test, answers_lost_or_late_never_hold_the_next_frame_back) {
  // One 10 ms message for 10 s, each frame answered `delay` later unless it is one the adapter
  // loses; then 3 s with every answer. A slot is never held back, lost answers are given up
  // within CAN_ANSWER_MS and counted, and the log hears of them once each way.
  struct Case {
    const char* what;
    std::uint64_t delay_us;
    int loses_every;  // 0: none lost
  };
  const Case cases[] = {
      {"an FTDI adapter's latency timer", 16000, 0},
      {"one in 20 lost", 2000, 20},
      {"one in 50 lost, late too", 16000, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake_os::reset();
    CanAdapter fresh{port};
    const std::uint64_t start = 1000 * SECOND_US;
    fresh.opened(start);
    std::vector<std::uint64_t> due;  // when each answer on its way arrives
    int lost = 0;
    int held = 0;
    constexpr int SLOTS = 1300;
    for (std::uint64_t t = start; t < start + std::uint64_t{SLOTS} * 10000u; t += 1000) {
      const std::uint64_t slot = (t - start) / 10000;
      if ((t - start) % 10000 == 0) {
        held += fresh.holding(1, t) ? 1 : 0;
        fresh.sent(1, t);
        if (c.loses_every != 0 && slot < 1000 && (slot + 1) % c.loses_every == 0) {
          ++lost;
        } else {
          due.push_back(t + c.delay_us);
        }
      }
      while (!due.empty() && due.front() <= t) {
        send_in("z\r");
        due.erase(due.begin());
      }
      ASSERT_TRUE(fresh.poll(t));
      if (slot == 999 && (t - start) % 10000 == 9000) {
        // Each given up once later answers have come and it is CAN_ANSWER_LATE_MS overdue
        // (answers pair with frames in order, so a lost one shows as the frames behind it
        // waiting longer): all but those of the last 50 ms and the one lost 9 ms ago.
        EXPECT_LE(fresh.answers_missing(), static_cast<std::uint64_t>(lost));
        EXPECT_GE(fresh.answers_missing() + 1 + CAN_ANSWER_LATE_MS / 10 + 1,
                  static_cast<std::uint64_t>(lost));
      }
    }
    EXPECT_EQ(held, 0);
    std::vector<CanNews> told;
    CanNews one{};
    std::string detail;
    while (fresh.take_news(one, detail)) {
      if (one != CanNews::silent) {
        told.push_back(one);
      }
    }
    EXPECT_EQ(told, lost == 0
                        ? std::vector<CanNews>{}
                        : (std::vector<CanNews>{CanNews::answers_missing, CanNews::answers_back}));
  }
}

TEST_F(can_adapter_fake_test, one_that_stops_answering_holds_the_next_slot_until_it_reads) {
  const std::uint64_t start = 1000 * SECOND_US;
  adapter.opened(start);
  adapter.sent(1, start);
  send_in("z\r");
  ASSERT_TRUE(adapter.poll(start + 1000));
  // Three frames a slot, none answered: held once they are late, not before.
  adapter.sent(3, start + 10000);
  EXPECT_FALSE(adapter.holding(3, start + 20000));
  EXPECT_TRUE(adapter.holding(3, start + 10000 + std::uint64_t{CAN_ANSWER_LATE_MS} * 1000u));
  // Still held once their answers are given up: nothing has answered since. The frames of
  // one that answers nothing at all are no lost answers (nobody reads them, or nobody on the
  // bus takes them: other news). An answer, and the next slot goes.
  const std::uint64_t later = start + 10000 + std::uint64_t{CAN_ANSWER_MS} * 1000u;
  ASSERT_TRUE(adapter.poll(later));
  EXPECT_TRUE(adapter.holding(3, later));
  EXPECT_EQ(adapter.answers_missing(), 0u);
  send_in("z\r");
  ASSERT_TRUE(adapter.poll(later + 1000));
  EXPECT_FALSE(adapter.holding(3, later + 1000));
}

TEST_F(can_adapter_fake_test, one_that_does_not_acknowledge_is_asked_for_its_bus_flags) {
  const std::uint64_t start = os::now_us();
  adapter.opened(start);
  send_in("V1013\r");  // it answers, but acknowledges no frame
  ASSERT_TRUE(adapter.poll(start));
  news();
  adapter.sent(12, start);
  ASSERT_TRUE(adapter.poll(start + SECOND_US / 2));
  EXPECT_EQ(written(), (std::vector<std::string>{"F\r"}));
  ASSERT_TRUE(adapter.poll(start + SECOND_US * 3 / 4));
  EXPECT_EQ(written().size(), 1u) << "once a second";
  // (flags, the news): error passive and bus error are frames nobody takes; a plain receive
  // FIFO flag is not; clear flags are the frames' return.
  const std::pair<const char*, std::vector<std::pair<CanNews, std::string>>> steps[] = {
      {"F01\r", {}},
      {"FA0\r", {{CanNews::unacknowledged, ""}}},
      {"F20\r", {}},
      {"F00\r", {{CanNews::acknowledged, ""}}},
  };
  for (const auto& [flags, told] : steps) {
    send_in(flags);
    ASSERT_TRUE(adapter.poll(start + SECOND_US));
    EXPECT_EQ(news(), told) << flags;
  }
  // An adapter that acknowledges frames is never asked.
  fake_os::reset();
  CanAdapter acking{port};
  acking.opened(start);
  send_in("V1013\rZ\r");
  acking.sent(1, start);
  ASSERT_TRUE(acking.poll(start + SECOND_US * 2));
  EXPECT_EQ(written(), (std::vector<std::string>{}));
}

TEST_F(can_adapter_fake_test, requests_from_the_bus_are_taken_other_frames_are_not) {
  adapter.opened(os::now_us());
  // EEC1 (PGN 61444: 04 F0 00) from every node; DM1 (65226: CA FE 00) from 0x00; a frame
  // that is no request; a request cut short.
  send_in(
      "T18EAFF17304F000\rT18EA0017"
      "3CAFE00\rT18FEF1008F7005AFDFF5AFFFF\rT18EAFF1720400\r");
  ASSERT_TRUE(adapter.poll(os::now_us()));
  CanAdapter::Request request{};
  ASSERT_TRUE(adapter.take_request(request));
  EXPECT_EQ(request.pgn, 61444u);
  EXPECT_EQ(request.destination, 0xFF);
  ASSERT_TRUE(adapter.take_request(request));
  EXPECT_EQ(request.pgn, 65226u);
  EXPECT_EQ(request.destination, 0x00);
  EXPECT_FALSE(adapter.take_request(request));
  EXPECT_EQ(adapter.frames_received(), 4u);
}

TEST_F(can_adapter_fake_test, a_port_gone_fails_the_poll) {
  adapter.opened(os::now_us());
  {
    std::lock_guard<std::mutex> lock(fake_os::record_mutex());
    fake_os::state().read_fails = true;
  }
  EXPECT_FALSE(adapter.poll(os::now_us()));
}

}  // namespace
}  // namespace vontrel
