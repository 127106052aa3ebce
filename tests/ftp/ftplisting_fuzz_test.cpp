// Runs the listing parser's fuzz target over the seed corpus, and over
// variations of each seed (every cut, single-byte changes), so that the target
// does its work in every plain test run too.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int Fuzz(const std::string& input) {
  return LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

std::vector<std::string> Seeds() {
  const char* source = std::getenv("ZF_SOURCE_DIR");
  const std::filesystem::path dir =
      std::filesystem::path(source != nullptr ? source : ".") / "tests" / "ftp" / "corpus";
  std::vector<std::string> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    seeds.push_back(text.str());
  }
  return seeds;
}

TEST(ListingFuzz, SeedCorpusAndItsVariations) {
  const std::vector<std::string> seeds = Seeds();
  ASSERT_GE(seeds.size(), 5u) << "seed corpus missing";
  std::mt19937 random(20240501);
  const std::string specials = " \t\r\n:-;=/<>,.0123456789AaPpMm";
  int runs = 0;
  for (const std::string& seed : seeds) {
    EXPECT_EQ(Fuzz(seed), 0);
    for (std::size_t cut = 0; cut <= seed.size(); ++cut) {
      EXPECT_EQ(Fuzz(seed.substr(0, cut)), 0);
      EXPECT_EQ(Fuzz(seed.substr(cut)), 0);
      runs += 2;
    }
    for (int round = 0; round < 2000 && !seed.empty(); ++round) {
      std::string variant = seed;
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int c = 0; c < changes; ++c) {
        const std::size_t at = random() % variant.size();
        switch (random() % 3) {
          case 0:
            variant[at] = static_cast<char>(random() % 256);
            break;
          case 1:
            variant[at] = specials[random() % specials.size()];
            break;
          default:
            variant.erase(at, 1 + random() % 8);
            if (variant.empty()) variant = " ";
            break;
        }
      }
      EXPECT_EQ(Fuzz(variant), 0);
      ++runs;
    }
  }
  EXPECT_GT(runs, 10000);
}

}  // namespace
