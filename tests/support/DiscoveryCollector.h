// Collects what a module enumeration reports; stops after `stopAfter` specs when set.
#ifndef KESTRIX_TESTS_DISCOVERYCOLLECTOR_H
#define KESTRIX_TESTS_DISCOVERYCOLLECTOR_H

#include <vector>

#include "discover.h"

namespace kxtest {

struct DiscoveryCollector {
    std::vector<linkSpec> found;
    size_t stopAfter = 0;

    // The enumeration callback; ref is the collector.
    static bool callback(const linkSpec* spec, bool* matched, void* ref) {
        auto self = static_cast<DiscoveryCollector*>(ref);
        self->found.push_back(*spec);
        *matched = true;
        return self->stopAfter == 0 || self->found.size() < self->stopAfter;
    }
};

}  // namespace kxtest

#endif
