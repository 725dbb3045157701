// Time of the BBCode conversion on ordinary and on hostile markup. The hostile cases must stay in
// the same order of time as ordinary text of their size: unclosed tags, parameters without "]",
// deep nesting and many lists, each just within the length bound, and far beyond it.
#include "custom_string_helpers.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// `unit` repeated until the next copy would pass `size` bytes.
std::string repeated(const std::string& unit, std::size_t size)
{
    std::string text;
    while (text.size() + unit.size() <= size)
        text += unit;
    return text;
}

const std::size_t kWithin = kBbcodeMaxInput - 64;

void convert(benchmark::State& state, const std::string& input)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(bbcodeToHtml(input));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
}

void ordinaryMessage(benchmark::State& state)
{
    convert(state, repeated("[B]Welcome[/B] to [URL=https://example.com/]our server[/URL], "
                            "[COLOR=red]be nice[/COLOR]. [LIST][*]one[*]two[/LIST]\n",
                       kWithin));
}

void unclosedTags(benchmark::State& state)
{
    convert(state, repeated("[B]", kWithin) + "[B]x[/B]");
}

void unclosedTagsEachPass(benchmark::State& state)
{
    // Deep nesting keeps the conversion going for every pass allowed while the unclosed tags stay.
    std::string nested = "x";
    for (int i = 0; i < kBbcodeMaxPasses + 4; ++i)
        nested = "[I]" + nested + "[/I]";
    convert(state, repeated("[B]", kWithin - nested.size()) + nested);
}

void parametersWithoutBracket(benchmark::State& state)
{
    convert(state, repeated("[COLOR=", kWithin / 2) + repeated("[URL=", kWithin / 2) + "[/URL][/COLOR]");
}

void manyLists(benchmark::State& state)
{
    convert(state, repeated("[LIST][*]x[/LIST]", kWithin));
}

void nestedListsWithoutCloser(benchmark::State& state)
{
    convert(state, repeated("[LIST=1][*]", kWithin / 2) + repeated("[/LIST]", kWithin / 2));
}

void fiftyThousandUnclosedTags(benchmark::State& state)
{
    convert(state, repeated("[B]", 150000));
}

} // namespace

BENCHMARK(ordinaryMessage)->Unit(benchmark::kMillisecond);
BENCHMARK(unclosedTags)->Unit(benchmark::kMillisecond);
BENCHMARK(unclosedTagsEachPass)->Unit(benchmark::kMillisecond);
BENCHMARK(parametersWithoutBracket)->Unit(benchmark::kMillisecond);
BENCHMARK(manyLists)->Unit(benchmark::kMillisecond);
BENCHMARK(nestedListsWithoutCloser)->Unit(benchmark::kMillisecond);
BENCHMARK(fiftyThousandUnclosedTags)->Unit(benchmark::kMillisecond);
