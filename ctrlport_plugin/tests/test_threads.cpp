// The text helpers, the parser and logging run on ten poller threads at once in the plug-in.
#include "custom_string_helpers.h"
#include "host.h"
#include "parameterparser.h"
#include "recording_host.h"
#include "replybuilder.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(TextHelpersOnThreads, ConcurrentUseGivesEachThreadItsOwnResults)
{
    RecordingHost host;
    host.setConfigPath("/cfg/");
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(0x0A000001u + static_cast<uint32_t>(t));
            const std::string expectedIp = "10.0.0." + std::to_string(t + 1);
            for (int round = 0; round < kRounds; ++round) {
                std::string line = startCommand("cmd");
                addParam(line, "name", "thread " + std::to_string(t));
                addParam(line, "n", round);
                addParam(line, "f", 0.5f);
                bool ok = false;
                ParamParser parser(finishLine(line), ok);
                if (!ok || parser.getString("name") != "thread " + std::to_string(t) || parser.getInt("n") != round ||
                    parser.getFloat("f") != 0.5f || ipText(address) != expectedIp || hostConfigPath() != "/cfg/")
                    ++failures;
                parser.getString("absent");  // logs through the host table
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(host.lines().size(), static_cast<std::size_t>(kThreads * kRounds));
}
