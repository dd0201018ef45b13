#include "bench/figures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quillon::bench {

Figures figures;
std::vector<Row> soak_rows;

Summary summarise(std::vector<double> v) {
    Summary s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const auto at = [&v](double q) {
        const auto k = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
        return v[std::min(v.size() - 1, k == 0 ? 0 : k - 1)];
    };
    s.min = v.front();
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    s.max = v.back();
    return s;
}

std::string fixed(double v, int decimals) {
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string mib(std::int64_t kb) {
    return fixed(static_cast<double>(kb) / 1024.0, 1);
}

double megabytes(std::int64_t kb) {
    return static_cast<double>(kb) * 1024.0 / 1e6;
}

std::string signed_kib(std::int64_t kb) {
    return (kb >= 0 ? "+" : "") + std::to_string(kb) + " KiB";
}

const char* side_name(Side side) {
    return side == Side::quillon ? "Quillon" : "ser2net";
}

std::optional<double> Figures::median(Side side, const std::string& key) const {
    const std::vector<double>* v = find(side, key);
    if (v == nullptr) return std::nullopt;
    std::vector<double> s = *v;
    std::sort(s.begin(), s.end());
    const std::size_t n = s.size();
    return n % 2 != 0 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2.0;
}

std::optional<double> Figures::worst(Side side, const std::string& key) const {
    const std::vector<double>* v = find(side, key);
    if (v == nullptr) return std::nullopt;
    return *std::max_element(v->begin(), v->end());
}

std::size_t Figures::count(Side side, const std::string& key) const {
    const std::vector<double>* v = find(side, key);
    return v == nullptr ? 0 : v->size();
}

const std::vector<double>* Figures::find(Side side, const std::string& key) const {
    const auto it = values_.find(key);
    if (it == values_.end() || it->second[slot(side)].empty()) return nullptr;
    return &it->second[slot(side)];
}

}  // namespace quillon::bench
