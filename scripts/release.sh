#!/bin/sh
# Builds the release: the libraries from Debian's source packages (scripts/deps/release.sh,
# cached, linked as .deps/release-ARCH), then the agent fully static, size-optimised and
# stripped (CMake presets "release" and "release-armhf"), for each architecture given
# (default: armhf x86_64), into dist/cvagent-VERSION-ARCH.tar.gz. Prints each build directory
# (build-release-ARCH; ctest runs its tests, the armhf ones under qemu).
set -eu
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(cvagent VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
mkdir -p dist

for arch in ${*:-armhf x86_64}; do
    case $arch in
    x86_64) preset=release strip=strip ;;
    armhf) preset=release-armhf strip=arm-linux-gnueabihf-strip ;;
    *) echo "usage: $0 [armhf] [x86_64]" >&2; exit 2 ;;
    esac
    scripts/deps/release.sh "$arch" >/dev/null
    dir=build-release-$arch
    # Afresh: the libraries' prefix may have changed since the last configuration.
    cmake --preset "$preset" --fresh >/dev/null
    nice -n 10 cmake --build "$dir" -j2 >&2

    stage=$(mktemp -d)
    install -d "$stage/opt/corvane/bin" "$stage/opt/corvane/etc" "$stage/opt/corvane/certs" \
        "$stage/opt/corvane/test" "$stage/etc/init.d"
    $strip -o "$stage/opt/corvane/bin/cvagent" "$dir/cvagent"
    $strip -o "$stage/opt/corvane/test/cvagent-sandbox" "$dir/cvagent-sandbox"
    install -m 644 etc/log.conf "$stage/opt/corvane/etc/log.conf"
    install -m 644 etc/INSTALL.txt "$stage/opt/corvane/INSTALL.txt"
    install -m 755 etc/init.d/cvagent.sh "$stage/etc/init.d/cvagent.sh"
    # Let's Encrypt's roots, from Debian's ca-certificates.
    cat /usr/share/ca-certificates/mozilla/ISRG_Root_X1.crt \
        /usr/share/ca-certificates/mozilla/ISRG_Root_X2.crt \
        > "$stage/opt/corvane/certs/letsencrypt.pem"
    tar -czf "dist/cvagent-$version-$arch.tar.gz" --owner=0 --group=0 --numeric-owner \
        -C "$stage" opt etc
    rm -rf "$stage"
    echo "$dir"
done
