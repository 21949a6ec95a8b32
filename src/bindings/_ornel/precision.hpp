// Python-facing names of the two precisions.
#pragma once

namespace ornel::py {

template <class S>
struct Precision;

template <>
struct Precision<float> {
    static constexpr const char* prepared = "PreparedF32";
    static constexpr const char* grouped = "GroupedQueriesF32";
};

template <>
struct Precision<double> {
    static constexpr const char* prepared = "PreparedF64";
    static constexpr const char* grouped = "GroupedQueriesF64";
};

}  // namespace ornel::py
