#!/usr/bin/env bash
# Builds the shipped 32-bit program and runs its main job: the demo script
# drives it against a simulated device on COM1 (tools/demo/run-demo.sh).
# Where this machine cannot run 32-bit programs, the 64-bit build runs instead.
# Both builds are made, and the Debian package from them (build/*.deb).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
# shellcheck source=wine-arch.sh
source scripts/wine-arch.sh
quolm_wine_arch
preset=$(quolm_default_preset)
if [[ $preset != i686 ]]; then
    echo "run.sh: running the 64-bit build: $QUOLM_WINE_ARCH_WHY"
fi
# Both builds, for the Debian package next to the Windows zips.
for p in i686 x86_64; do
    cmake --preset "$p"
    cmake --build --preset "$p"
done
echo "run.sh: the Debian package: $(bash scripts/make-deb.sh)"
exec bash tools/demo/run-demo.sh --build-dir "build/$preset" "$@"
