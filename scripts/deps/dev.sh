#!/bin/sh
# Builds libwebsockets 4.3.5 (OpenSSL backend, shared) for the development build into a cached
# prefix keyed on the version and this recipe, and links it as .deps/dev, where CMake looks
# first. Quick when the prefix is already there.
set -eu
cd "$(dirname "$0")/../.."
. scripts/deps/source.sh

LWS_VERSION=4.3.5
# Extensions and zlib for permessage-deflate; no libcap (the agent keeps its identity), no
# test apps, HTTP/2 or examples.
LWS_OPTIONS="-DCMAKE_BUILD_TYPE=Release -DLWS_WITH_SHARED=ON -DLWS_WITH_STATIC=OFF
-DLWS_HAVE_LIBCAP=OFF -DLWS_WITH_SSL=ON -DLWS_WITHOUT_EXTENSIONS=OFF -DLWS_WITH_ZLIB=ON
-DLWS_WITHOUT_TESTAPPS=ON -DLWS_WITH_MINIMAL_EXAMPLES=OFF -DLWS_WITH_HTTP2=OFF"

key=$( (echo "$LWS_VERSION $LWS_OPTIONS"; cat scripts/deps/patches/libwebsockets/*.patch \
    2>/dev/null) | sha256sum | cut -c1-12)
prefix=$DEPS_CACHE/dev-libwebsockets-$LWS_VERSION-$key

mkdir -p "$DEPS_CACHE"
exec 9>"$prefix.lock" # one builder per prefix; others wait for it
flock 9
if [ ! -f "$prefix/.done" ]; then
    echo "deps: building libwebsockets $LWS_VERSION into $prefix" >&2
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    deps_source libwebsockets "$LWS_VERSION" "$work"
    # shellcheck disable=SC2086
    cmake -S "$work/libwebsockets-$LWS_VERSION" -B "$work/build" \
        -DCMAKE_INSTALL_PREFIX="$prefix" $LWS_OPTIONS >/dev/null
    nice -n 10 cmake --build "$work/build" -j2 >/dev/null
    cmake --install "$work/build" >/dev/null
    touch "$prefix/.done"
fi
mkdir -p .deps
ln -sfn "$prefix" .deps/dev
