// The figures the measurements take, kept by name and side for the report.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillon::bench {

struct Summary {
    double min = 0, p50 = 0, p99 = 0, max = 0;
    std::size_t n = 0;
};

Summary summarise(std::vector<double> v);

std::string fixed(double v, int decimals = 2);

// Kibibytes as MiB with one decimal; megabytes of 10^6 bytes, as the memory
// target is written; a change in KiB with its sign.
std::string mib(std::int64_t kb);
double megabytes(std::int64_t kb);
std::string signed_kib(std::int64_t kb);

enum class Side : std::uint8_t { quillon, ser2net };

const char* side_name(Side side);

// Each figure, by name and side, once a run (the start, once a start): the
// tables show their medians, and faults at their worst.
class Figures {
  public:
    void put(Side side, const std::string& key, double value) {
        values_[key][slot(side)].push_back(value);
    }
    std::optional<double> median(Side side, const std::string& key) const;
    std::optional<double> worst(Side side, const std::string& key) const;
    std::size_t count(Side side, const std::string& key) const;

  private:
    static std::size_t slot(Side side) { return side == Side::quillon ? 0 : 1; }
    const std::vector<double>* find(Side side, const std::string& key) const;

    std::map<std::string, std::array<std::vector<double>, 2>> values_;
};

extern Figures figures;

struct Row {
    std::string what;
    std::string result;
    std::string target;  // empty: no target
    bool met = true;
};

extern std::vector<Row> soak_rows;  // taken once, in the last of Quillon's runs

}  // namespace quillon::bench
