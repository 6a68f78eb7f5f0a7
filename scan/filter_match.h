// The matching of compiled patterns that the walk's verdicts are made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "scan/filter.h"

/// True when the pattern name matches the name text (length bytes).
bool filterNameMatches(const FilterSet& set, const FilterName& name, const char* text,
                       size_t length);
/// True when the total pattern names from firstName match the count names of a path:
/// on a mismatch, the last ** takes one more folder.
bool filterNamesMatch(const FilterSet& set, uint32_t firstName, int32_t total,
                      const FilterSpan* spans, int32_t count);
/// True when a path below the folder of these count names could match pattern.
bool filterMatchesBelow(const FilterSet& set, const FilterPattern& pattern, const FilterSpan* spans,
                        int32_t count);
/// True when a name pattern of index matches entry, whose words are given: only those
/// whose last byte the entry ends in, or any, are tried.
bool filterNamesIndexed(const FilterSet& set, const FilterIndex& index, const FilterSpan& entry,
                        const FilterWords& words);

/// Whether a name could match the last name of the pattern of quick: most names are
/// refused here on their length or on a word of their first or last bytes.
inline bool filterMayMatch(const FilterQuick& quick, const FilterWords& words, size_t length) {
  return length >= quick.minLength && ((words.head ^ quick.head) & quick.headMask) == 0 &&
         ((words.tail ^ quick.tail) & quick.tailMask) == 0;
}

/// Patterns before they are indexed: each with a last byte of the names it can match.
typedef std::vector<std::pair<uint32_t, uint32_t>> FilterBuckets;
/// The last bytes a name matching this one can end in: that of a literal, the few
/// ASCII characters of a class ([oa]), or 256 for any.
std::vector<uint32_t> filterLastBytes(const FilterSet& set, const FilterName& name);
/// What the last name of pattern index needs of a name.
FilterQuick filterQuickOf(const FilterSet& set, uint32_t index);
/// Lays out one index of entries: offsets of 257 buckets (258 entries), then the
/// patterns by bucket.
void buildFilterIndex(const FilterSet& set, FilterBuckets entries, FilterIndex* index);
