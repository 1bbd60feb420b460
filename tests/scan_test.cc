#include "driverlist/scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Each scan the processor has measures the expected run: of every length
// over three AVX2 steps and across 16- and 32-byte boundaries, ending in
// plain text or at a marker, in a heap block of exactly its size (so the
// sanitizers see past it) and with stale LFs of a longer file after it.
TEST(MeasurePlainRunTest, EveryScanMeasuresTheWholeLinesBeforeAStop) {
#if defined(__x86_64__)
  // Only a scan the processor lacks, by the compiler's own word, is skipped.
  EXPECT_EQ(UsePlainScan(PlainScan::AVX2) == 0,
            __builtin_cpu_supports("avx2") != 0);
#endif
  std::vector<size_t> lengths = {127, 128, 129, 255, 256, 1023, 32 * 1024 + 31};
  for (size_t n = 0; n <= 96; n++) lengths.push_back(n);
  for (size_t n : lengths)
    for (const char* end : {"", "<key>ifdVendorID</key>\n", "a\rb\n"}) {
      std::string text(n, 'x');
      for (size_t i = 39; i < n; i += 40) text[i] = '\n';
      text = (n > 0 ? text.substr(0, n - 1) + "\n" : "") + end;
      if (text.empty()) continue;
      // The whole lines before `end`: up to the last LF of the x's.
      const auto want = std::make_pair(n, static_cast<long>((n + 39) / 40));
      for (size_t stale : {size_t{0}, size_t{64}}) {
        auto data = std::make_unique<char[]>(text.size() + stale);
        std::memset(data.get(), '\n', text.size() + stale);
        std::memcpy(data.get(), text.data(), text.size());
        for (PlainScan scan :
             {PlainScan::Bytes, PlainScan::SSE2, PlainScan::AVX2}) {
          if (UsePlainScan(scan) != 0) continue;
          PlainRunLength got = MeasurePlainRun(data.get(), text.size());
          EXPECT_EQ(std::make_pair(got.bytes, got.lines), want)
              << n << " bytes, scan " << static_cast<int>(scan);
        }
      }
    }
}

}  // namespace
