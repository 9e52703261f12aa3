// u8string on ASCII text against std::string: length, compare, find and
// append, each pair side by side. With a true ASCII flag every one of these
// is the plain byte operation plus a flag test, so the pair should stay
// within a factor of 2. After the table the program prints each U8 time
// divided by the Std time next to it.
#include "foundation/u8string.h"

#include <benchmark/benchmark.h>

#include "ratio_reporter.h"

#include <string>

using zorvant::u8string;

namespace {

// A path-like ASCII text of the given length.
std::string ascii_text(size_t length)
{
    static const char pattern[] = "DCIM/100MEDIA/IMG_0042.JPG;";
    std::string s;
    while (s.size() < length)
        s += pattern[s.size() % (sizeof pattern - 1)];
    return s;
}

void BM_Length_Std(benchmark::State &state)
{
    std::string s = ascii_text(64);
    for (auto _ : state) {
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(s.size());
    }
}

void BM_Length_U8(benchmark::State &state)
{
    u8string s(ascii_text(64).c_str());
    for (auto _ : state) {
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(s.length());
    }
}

// After each edit the length is asked again: the byte paths keep it exact.
void BM_PushLength_Std(benchmark::State &state)
{
    std::string s = ascii_text(64);
    for (auto _ : state) {
        s.push_back('x');
        benchmark::DoNotOptimize(s.size());
        s.pop_back();
    }
}

void BM_PushLength_U8(benchmark::State &state)
{
    u8string s(ascii_text(64).c_str());
    for (auto _ : state) {
        s.push_back('x');
        benchmark::DoNotOptimize(s.length());
        s.pop_back();
    }
}

void BM_Compare_Std(benchmark::State &state)
{
    std::string a = ascii_text(static_cast<size_t>(state.range(0)));
    std::string b = a;
    b.back() = '~';
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(a.compare(b));
    }
}

void BM_Compare_U8(benchmark::State &state)
{
    std::string text = ascii_text(static_cast<size_t>(state.range(0)));
    u8string a(text.c_str());
    text.back() = '~';
    u8string b(text.c_str());
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(a.compare(b));
    }
}

void BM_Find_Std(benchmark::State &state)
{
    std::string hay = ascii_text(static_cast<size_t>(state.range(0)));
    hay += "needle!";
    std::string needle = "needle";
    for (auto _ : state) {
        benchmark::DoNotOptimize(hay);
        benchmark::DoNotOptimize(hay.find(needle));
    }
}

void BM_Find_U8(benchmark::State &state)
{
    std::string text = ascii_text(static_cast<size_t>(state.range(0)));
    text += "needle!";
    u8string hay(text.c_str());
    u8string needle("needle");
    for (auto _ : state) {
        benchmark::DoNotOptimize(hay);
        benchmark::DoNotOptimize(hay.find(needle));
    }
}

void BM_Append_Std(benchmark::State &state)
{
    std::string slice = ascii_text(16);
    std::string s;
    for (auto _ : state) {
        s.append(slice);
        if (s.size() > 4096)
            s.clear();
        benchmark::DoNotOptimize(s);
    }
}

void BM_Append_U8(benchmark::State &state)
{
    u8string slice(ascii_text(16).c_str());
    u8string s("");
    for (auto _ : state) {
        s.append(slice);
        if (s.size() > 4096)
            s.clear();
        benchmark::DoNotOptimize(s);
    }
}

} // namespace

BENCHMARK(BM_Length_Std);
BENCHMARK(BM_Length_U8);
BENCHMARK(BM_PushLength_Std);
BENCHMARK(BM_PushLength_U8);
BENCHMARK(BM_Compare_Std)->Arg(16)->Arg(256);
BENCHMARK(BM_Compare_U8)->Arg(16)->Arg(256);
BENCHMARK(BM_Find_Std)->Arg(64)->Arg(1024);
BENCHMARK(BM_Find_U8)->Arg(64)->Arg(1024);
BENCHMARK(BM_Append_Std);
BENCHMARK(BM_Append_U8);

int main(int argc, char **argv)
{
    return zvbench::runWithRatios(argc, argv, "U8", "Std");
}
