#pragma once

#include <vector>

namespace netutil {

// Visits the entries of an id-keyed map for a list of ids, both in ascending order, with one walk
// through the map instead of a search per id: found(entry) for each id the map holds, missing(id)
// for the others.
template <typename Map, typename Found, typename Missing>
void forEachInIdOrder(Map& map, const std::vector<int>& sortedIDs, Found found, Missing missing)
{
    auto it = map.begin();
    for (const int id : sortedIDs) {
        while (it != map.end() && it->first < id)
            ++it;
        if (it != map.end() && it->first == id)
            found(*it);
        else
            missing(id);
    }
}

}  // namespace netutil
