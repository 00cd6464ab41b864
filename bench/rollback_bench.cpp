// What running a match's ticks again costs: the friend's input for the oldest of 15 ticks
// (150 ms) run on guesses turns out otherwise, and all 15 are run again, from a rally in play.
#include <benchmark/benchmark.h>

#include "match/rollback.h"

namespace {

using namespace palomir::match;

void BM_RunAgain150Ms(benchmark::State& state) {
  Rollback end(kHost);
  EndInput mine;
  mine.runs = 1;
  mine.keys = uint64_t{1} << 4;  // the middle column held: the puck is hit whenever near
  int32_t tick = 0;
  // The welcome and the first approach, with the friend's input known.
  for (; tick < 260; ++tick) {
    end.Advance(mine);
    end.Remote(tick, EndInput{});
  }
  EndInput moving;
  moving.dx = 6;
  moving.dy = -4;
  moving.runs = 1;
  for (auto _ : state) {
    for (int i = 0; i < Rollback::kMostAhead; ++i) end.Advance(mine);
    // The friend moved after all, at the first of them.
    end.Remote(tick, moving);
    benchmark::DoNotOptimize(end.Settle());
    for (int i = 1; i < Rollback::kMostAhead; ++i) end.Remote(tick + i, moving);
    end.Settle();
    tick += Rollback::kMostAhead;
    end.TakeFinal();
    end.TakeFinalInputs();
    end.TakeChecksums();
  }
}
BENCHMARK(BM_RunAgain150Ms);

}  // namespace

BENCHMARK_MAIN();
