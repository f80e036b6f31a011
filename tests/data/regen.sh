#!/bin/sh
# Remakes every golden pack from the manifest beside it:
#   tests/data/regen.sh [path/to/rompack]
# The damage in the bad-* packs is part of their manifests ("corrupt":
# byte patches, truncation, checksum repair; "unchecked" for the partitions
# create otherwise refuses as the telephone does), so this is all there is to it.
# The tests check that the committed packs are exactly what this makes.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
rompack=${1:-$here/../../build/host/tools/rompack/rompack}
for manifest in "$here"/good-*.json "$here"/bad-*.json; do
  "$rompack" create "$manifest" -o "${manifest%.json}.pack"
done
