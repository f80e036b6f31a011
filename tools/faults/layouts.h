// Random layout moves for the power-cut campaign: ROM pack manifests whose
// partition layout moves the environment (mtd3) and configuration (mtd4)
// blocks in every relation to their old places, and which also write a few
// other partitions.
#ifndef FAULTS_LAYOUTS_H
#define FAULTS_LAYOUTS_H

#include "phonesim/profile.h"

#include <stdint.h>

#include <string>
#include <vector>

namespace faults
{

// "random:SEED:COUNT" into its numbers; false with *error saying what is
// expected.
bool parse_layouts_option(const std::string &option, uint32_t *seed, int *count, std::string *error);

// How layout i of a series moves mtd3 and mtd4 against their old places,
// in turn: "disjoint below", "disjoint above", "adjacent", "overlapping
// one", "overlapping both", "sliding down", "sliding up", "swapped".
const char *layout_relation(int i);

// Writes COUNT manifests (NAME.json with its NAME-mtd.conf beside it) into
// dir, made from seed against the telephone's current windows, and returns
// their paths. false with *error naming the file that could not be written.
bool write_random_layouts(const phonesim::Profile &phone, uint32_t seed, int count,
                          const std::string &dir, std::vector<std::string> *manifests,
                          std::string *error);

} // namespace faults

#endif
