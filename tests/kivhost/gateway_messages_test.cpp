// The gateway's messages: the run's records as topics and payloads, and a line's queue of them.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "mqtt/gateway_messages.h"

namespace kivhost {
namespace {

class LineQueueTest : public ::testing::Test {
protected:
    LineQueueTest() { settings_.site = "north"; }

    // Every message waiting, in the order the link would send them.
    std::vector<OutMessage> TakeAll(LineQueue& queue) {
        std::vector<OutMessage> messages;
        OutMessage message;
        while (queue.Next(message, 1)) {
            messages.push_back(message);
        }
        return messages;
    }

    static Json Tag(const std::string& name, const std::string& address, const Json& value) {
        return {
            {"type", "tag"}, {"line", 2}, {"name", name}, {"address", address}, {"value", value}};
    }
    static Json Event(int code) {
        return {{"type", "event"}, {"line", 2},         {"code", code},
                {"name", "badge"}, {"unit", 3},         {"unitKind", "door"},
                {"key", nullptr},  {"holder", nullptr}, {"time", "12:00"}};
    }

    MqttSettings settings_;
};

TEST_F(LineQueueTest, RecordsBecomeTopicsAndPayloads) {
    struct Case {
        Json record;
        bool queued;
        const char* topic;
        const char* member;  // of the payload
        Json value;
    };
    const Case cases[] = {
        {Tag("2:L1_3PMODE", "3PMODE", 2.0), true, "vxs/north/2/tag/L1_3PMODE", "value", 2},
        {Tag("2:PBNAM", "PBNAM", "Ada"), true, "vxs/north/2/tag/PBNAM", "value", "Ada"},
        {Tag("2:odd/name", "3PMODE", 1.5), true, "vxs/north/2/tag/odd_name", "value", 1.5},
        {Event(10), true, "vxs/north/2/event", "code", 10},
        {{{"type", "frame"}, {"line", 2}, {"dir", "in"}, {"text", "x"}}, false, "", "", nullptr},
        {{{"type", "log"}, {"line", 2}, {"text", "a time-out"}}, false, "", "", nullptr},
        {{{"type", "result"}, {"line", 2}}, false, "", "", nullptr},
    };
    for (const Case& c : cases) {
        LineQueue queue(settings_, 2, true);
        TakeAll(queue);  // the first "online" state
        EXPECT_EQ(queue.Offer(c.record), c.queued) << c.record.dump();
        const std::vector<OutMessage> messages = TakeAll(queue);
        ASSERT_EQ(messages.size(), c.queued ? 1U : 0U) << c.record.dump();
        if (c.queued) {
            EXPECT_EQ(messages[0].topic, c.topic);
            EXPECT_EQ(Json::parse(messages[0].payload)[c.member], c.value) << messages[0].payload;
        }
    }
}

// The payloads are written member by member: byte for byte what Dump makes of the whole object
// (escapes, numbers, nulls, member order), whatever the values hold.
TEST_F(LineQueueTest, PayloadsAreWhatDumpMakesOfTheirObject) {
    const Json texts[] = {"Zo\u00eb", "a\u0001b \"q\" \\", "\u00ff\u0080", 2.5, 3.0, -0.0, 1e300,
                          nullptr};
    for (const Json& value : texts) {
        LineQueue queue(settings_, 2, true);
        TakeAll(queue);
        queue.Offer(Tag("2:PBNAM", "PB\u00e4M", value));
        const std::vector<OutMessage> messages = TakeAll(queue);
        ASSERT_EQ(messages.size(), 1U);
        const Json sent = Json::parse(messages[0].payload);
        EXPECT_EQ(messages[0].payload, Dump({{"value", PayloadValue(value)},
                                             {"address", "PB\u00e4M"},
                                             {"time", sent["time"]}}));
    }
    LineQueue queue(settings_, 2, true);
    TakeAll(queue);
    queue.Offer(
        {{"type", "frame"}, {"line", 2}, {"dir", "in"}, {"text", "E;1,0042;<CR>"}, {"hex", "45"}});
    queue.Offer(Tag("2:PBNA2", "PBNA2", "J\u00fcrgen"));
    Json event = Event(7);
    event["key"] = "0042";
    event["holder"] = "Ad\u00e0";
    event["eventType"] = "badge";
    queue.Offer(event);
    const std::vector<OutMessage> messages = TakeAll(queue);
    ASSERT_EQ(messages.size(), 2U);
    const Json sent = Json::parse(messages[0].payload);
    EXPECT_EQ(messages[0].payload, Dump({{"seq", 1},
                                         {"time", sent["time"]},
                                         {"code", 7},
                                         {"name", "badge"},
                                         {"event_type", "badge"},
                                         {"unitKind", "door"},
                                         {"unit", 3},
                                         {"controller", 1},
                                         {"controllerTime", "12:00"},
                                         {"badge", "0042"},
                                         {"key", "0042"},
                                         {"holder", "Ad\u00e0"},
                                         {"holder2", "J\u00fcrgen"},
                                         {"badgeCode", ""},
                                         {"frame", "E;1,0042;<CR>"},
                                         {"frameHex", "45"}}));
}

// The link takes everything queued when it wakes: records before it woke ask for no more.
TEST_F(LineQueueTest, OneWakeUpUntilTheLinkWoke) {
    LineQueue queue(settings_, 2, true);
    EXPECT_TRUE(queue.Offer(Event(1)));
    EXPECT_FALSE(queue.Offer(Tag("2:PBNAM", "PBNAM", "Ada")));
    EXPECT_FALSE(queue.Offer(Event(2)));
    queue.Woken();
    EXPECT_FALSE(queue.Offer({{"type", "log"}, {"line", 2}, {"text", "x"}}));
    EXPECT_TRUE(queue.Offer(Event(3)));
    EXPECT_EQ(TakeAll(queue).size(), 5U);  // the state, three events, the tag
}

TEST_F(LineQueueTest, StateComesFirstThenEventsThenTheNewestOfEachTag) {
    LineQueue queue(settings_, 1, false);
    queue.Offer(Tag("A", "3PMODE", 1.0));
    queue.Offer(Event(1));
    queue.Offer(Tag("A", "3PMODE", 2.0));
    queue.Offer(Event(2));
    const std::vector<OutMessage> messages = TakeAll(queue);
    ASSERT_EQ(messages.size(), 4U);
    EXPECT_EQ(messages[0].topic, "vxs/north/1/state");
    EXPECT_EQ(Json::parse(messages[0].payload)["state"], "online");
    EXPECT_EQ(Json::parse(messages[1].payload)["seq"], 1);
    EXPECT_EQ(Json::parse(messages[2].payload)["seq"], 2);
    EXPECT_EQ(Json::parse(messages[3].payload)["value"], 2);
}

TEST_F(LineQueueTest, TheStateCountsStoresAndChangesApart) {
    LineQueue queue(settings_, 1, false);
    queue.CountUnrecordedStores([] { return uint64_t{7}; });  // repeats that came as no record
    TakeAll(queue);
    for (const bool changed : {true, false, false, true, false}) {
        Json record = Tag("A", "3PMODE", 1.0);
        record["changed"] = changed;
        queue.Offer(record);
    }
    queue.StateDue();
    const std::vector<OutMessage> messages = TakeAll(queue);
    ASSERT_FALSE(messages.empty());
    const Json counters = Json::parse(messages[0].payload)["counters"];
    EXPECT_EQ(counters["tagStores"], 5 + 7);
    EXPECT_EQ(counters["tagChanges"], 2);
}

// A tag's retained message says its value and when it changed: a store of the same value is
// not published, the first store and the host's own store (no "changed") are; a new connection
// has every tag's newest message again.
TEST_F(LineQueueTest, TagsArePublishedWhenTheyChange) {
    struct Store {
        Json changed;  // null: the host's own store, without the member
        double value;
        bool published;
    };
    const Store stores[] = {{false, 0.0, true},  {false, 0.0, false},  {true, 5.0, true},
                            {false, 5.0, false}, {nullptr, 5.0, true}, {true, 6.0, true}};
    LineQueue queue(settings_, 1, false);
    TakeAll(queue);
    for (const Store& store : stores) {
        Json record = Tag("A", "3PMODE", store.value);
        if (!store.changed.is_null()) {
            record["changed"] = store.changed;
        }
        queue.Woken();
        EXPECT_EQ(queue.Offer(record), store.published) << record.dump();
        EXPECT_EQ(TakeAll(queue).size(), store.published ? 1U : 0U) << record.dump();
    }
    queue.Offer(Tag("B", "3PDOOR", 1.0));
    queue.Reconnected();
    const std::vector<OutMessage> again = TakeAll(queue);
    ASSERT_EQ(again.size(), 2U);
    EXPECT_EQ(again[0].topic, "vxs/north/1/tag/B");  // waiting already, not doubled
    EXPECT_EQ(Json::parse(again[1].payload)["value"], 6);
    EXPECT_TRUE(again[1].retain);
}

TEST_F(LineQueueTest, AFullQueueDropsTheOldestEventAndSaysSo) {
    settings_.queueSize = 2;
    LineQueue queue(settings_, 1, false);
    TakeAll(queue);
    for (int code = 1; code <= 5; ++code) {
        queue.Offer(Event(code));
    }
    const std::vector<OutMessage> messages = TakeAll(queue);
    ASSERT_EQ(messages.size(), 3U);  // the state, then the two newest events
    EXPECT_EQ(Json::parse(messages[0].payload)["queue"]["dropped"], 3);
    EXPECT_EQ(Json::parse(messages[1].payload)["seq"], 4);
    EXPECT_EQ(queue.DropsToReport(GatewayClock::now(), std::chrono::seconds(10)), 3U);
    EXPECT_EQ(queue.DropsToReport(GatewayClock::now(), std::chrono::seconds(10)), 0U);
}

TEST_F(LineQueueTest, UnacknowledgedMessagesGoBackInTheirOrder) {
    LineQueue queue(settings_, 1, false);
    TakeAll(queue);
    queue.Offer(Event(1));
    queue.Offer(Event(2));
    queue.Offer(Event(3));
    OutMessage first;
    OutMessage second;
    ASSERT_TRUE(queue.Next(first, 1));
    ASSERT_TRUE(queue.Next(second, 1));
    queue.PutBack({second, first});
    std::vector<int> sequence;
    for (const OutMessage& message : TakeAll(queue)) {
        if (message.kind == OutMessage::Kind::kEvent) {
            sequence.push_back(Json::parse(message.payload)["seq"].get<int>());
        }
    }
    EXPECT_EQ(sequence, (std::vector<int>{1, 2, 3}));
}

TEST_F(LineQueueTest, AStopEndsWithTheOfflineStateOnce) {
    LineQueue queue(settings_, 1, false);
    TakeAll(queue);
    queue.Offer(Event(1));
    queue.RequestStop(GatewayClock::now());
    EXPECT_FALSE(queue.Progress().drained);
    const std::vector<OutMessage> messages = TakeAll(queue);
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(Json::parse(messages[1].payload)["state"], "offline");
    EXPECT_TRUE(queue.Progress().drained);
}

// The driver's threads offer, the write thread sends, the link's thread takes and puts back what
// a lost connection did not deliver: every event arrives, in its order, and once.
TEST_F(LineQueueTest, OffersSendsAndPutBacksFromSeveralThreadsLoseNothing) {
    constexpr int kEvents = 4000;
    constexpr int kResults = 200;
    LineQueue queue(settings_, 1, false);
    std::thread driver([&queue] {
        for (int code = 0; code < kEvents; ++code) {
            queue.Offer(Event(code % 100));
            queue.Offer(Tag("A", "3PMODE", code));
        }
    });
    std::thread writer([&queue] {
        for (int k = 0; k < kResults; ++k) {
            OutMessage result;
            result.topic = "vxs/north/1/write/A/result";
            queue.Send(result);
        }
    });
    std::vector<int> sequence;
    int results = 0;
    int batches = 0;
    const auto deadline = GatewayClock::now() + std::chrono::seconds(60);
    while ((static_cast<int>(sequence.size()) < kEvents || results < kResults) &&
           GatewayClock::now() < deadline) {
        std::vector<OutMessage> inFlight;
        OutMessage message;
        while (inFlight.size() < 5 && queue.Next(message, 1)) {
            inFlight.push_back(message);
        }
        if (inFlight.empty()) {
            std::this_thread::yield();
        } else if (++batches % 3 == 0) {
            queue.PutBack(std::move(inFlight));  // the connection was lost before the acks
        } else {
            for (const OutMessage& acknowledged : inFlight) {
                if (acknowledged.kind == OutMessage::Kind::kEvent) {
                    sequence.push_back(Json::parse(acknowledged.payload)["seq"].get<int>());
                } else if (acknowledged.topic.find("/result") != std::string::npos) {
                    ++results;
                }
            }
        }
    }
    driver.join();
    writer.join();
    ASSERT_EQ(sequence.size(), static_cast<size_t>(kEvents));
    for (int k = 0; k < kEvents; ++k) {
        ASSERT_EQ(sequence[static_cast<size_t>(k)], k + 1);
    }
    EXPECT_EQ(results, kResults);
}

TEST(PayloadValue, WholeNumbersLoseTheirFraction) {
    EXPECT_EQ(PayloadValue(Json(3.0)).dump(), "3");
    EXPECT_EQ(PayloadValue(Json(2.5)).dump(), "2.5");
    EXPECT_EQ(PayloadValue(Json("3.0")).dump(), "\"3.0\"");
    EXPECT_EQ(PayloadValue(Json(1e20)).dump(), "1e+20");
}

TEST(UtcTextTest, TimesAreWrittenAsTheirUtcDateAndMilliseconds) {
    const struct {
        int64_t epochMs;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {951782400000, "2000-02-29T00:00:00.000Z"},
        {1709251199999, "2024-02-29T23:59:59.999Z"},
        {1797003246789, "2026-12-11T15:34:06.789Z"},
        {7258118399999, "2199-12-31T23:59:59.999Z"},
    };
    for (const auto& c : cases) {
        const std::chrono::system_clock::time_point when{std::chrono::milliseconds(c.epochMs)};
        EXPECT_EQ(UtcText(when), c.text) << c.epochMs;
    }
}

}  // namespace
}  // namespace kivhost
