#!/bin/sh
# Builds the release's libraries for one architecture (x86_64 or armhf) from Debian's source
# packages, static and size-optimised, into a cached prefix keyed on the versions and this
# recipe, linked as .deps/release-ARCH for the CMake presets; prints the prefix. mbedTLS is
# the one TLS library: libwebsockets and libcurl use it.
set -eu
cd "$(dirname "$0")/../.."
. scripts/deps/source.sh
arch=${1:?usage: $0 x86_64|armhf}

ZLIB=1.3.dfsg+really1.3.1 MBEDTLS=3.6.6 JANSSON=2.14 CURL=8.14.1 LOG4CPLUS=2.0.8 LWS=4.3.5
case $arch in
x86_64) toolchain="" host=x86_64-linux-gnu cc=gcc ;;
armhf) toolchain=-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/armhf.cmake host=arm-linux-gnueabihf
    cc="arm-linux-gnueabihf-gcc -march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard" ;;
*) echo "release deps: unknown architecture $arch" >&2; exit 2 ;;
esac

# The key: versions, the recipe below (from cmake_dep to the end of the build), the cross
# toolchain file and the patches.
key=$( (echo "$ZLIB $MBEDTLS $JANSSON $CURL $LOG4CPLUS $LWS"
    sed -n '/^cmake_dep()/,/^fi$/p' scripts/deps/release.sh
    cat cmake/armhf.cmake scripts/deps/patches/*/*.patch 2>/dev/null) | sha256sum | cut -c1-12)
prefix=$DEPS_CACHE/release-$arch-$key
opt="-Os -ffunction-sections -fdata-sections"

# Static libraries only, found only in the prefix.
cmake_dep() {
    name=$1
    shift
    build=$work/build-$name
    # shellcheck disable=SC2086
    cmake -S "$work/$name" -B "$build" $toolchain -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DCMAKE_C_FLAGS="$opt" -DCMAKE_CXX_FLAGS="$opt" -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_ROOT_PATH="$prefix" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF "$@" >"$build.log" 2>&1
    nice -n 10 cmake --build "$build" -j2 >>"$build.log" 2>&1
    cmake --install "$build" >>"$build.log" 2>&1
}

mkdir -p "$DEPS_CACHE"
exec 9>"$prefix.lock" # one builder per prefix; others wait for it
flock 9
if [ ! -f "$prefix/.done" ]; then
    echo "release deps: building $arch libraries into $prefix" >&2
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    for package in "zlib $ZLIB" "mbedtls $MBEDTLS" "jansson $JANSSON" "curl $CURL" \
        "log4cplus $LOG4CPLUS" "libwebsockets $LWS"; do
        # shellcheck disable=SC2086
        deps_source $package "$work"
    done
    (cd "$work/zlib-$ZLIB" && CC="$cc" CFLAGS="$opt" ./configure --static --prefix="$prefix" \
        >/dev/null && nice -n 10 make -j2 libz.a >/dev/null && make install >/dev/null)
    # A TLS client only: no server side, and no ciphers that no server of ours would choose.
    for feature in MBEDTLS_SSL_SRV_C MBEDTLS_SSL_TICKET_C MBEDTLS_SSL_COOKIE_C \
        MBEDTLS_CAMELLIA_C MBEDTLS_ARIA_C MBEDTLS_KEY_EXCHANGE_ECJPAKE_ENABLED MBEDTLS_ECJPAKE_C; do
        (cd "$work/mbedtls-$MBEDTLS" && python3 scripts/config.py unset "$feature")
    done
    cmake_dep "mbedtls-$MBEDTLS" -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF \
        -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DMBEDTLS_FATAL_WARNINGS=OFF
    cmake_dep "jansson-$JANSSON" -DJANSSON_BUILD_DOCS=OFF -DJANSSON_EXAMPLES=OFF \
        -DJANSSON_WITHOUT_TESTS=ON
    # HTTP and HTTPS through mbedTLS for the firmware download, nothing else.
    cmake_dep "curl-$CURL" -DBUILD_CURL_EXE=OFF -DBUILD_LIBCURL_DOCS=OFF \
        -DBUILD_MISC_DOCS=OFF -DENABLE_CURL_MANUAL=OFF -DHTTP_ONLY=ON -DCURL_USE_MBEDTLS=ON \
        -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
        -DUSE_NGHTTP2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF \
        -DCURL_USE_GSSAPI=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
        -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_HSTS=ON -DCURL_DISABLE_COOKIES=ON
    # No thread pool: the agent never logs asynchronously, and the pool's idle threads stay.
    cmake_dep "log4cplus-$LOG4CPLUS" -DLOG4CPLUS_BUILD_TESTING=OFF \
        -DLOG4CPLUS_BUILD_LOGGINGSERVER=OFF -DLOG4CPLUS_ENABLE_THREAD_POOL=OFF \
        -DWITH_UNIT_TESTS=OFF -DUNICODE=OFF
    cmake_dep "libwebsockets-$LWS" -DLWS_WITH_SHARED=OFF -DLWS_WITH_STATIC=ON \
        -DLWS_HAVE_LIBCAP=OFF -DLWS_WITH_SSL=ON -DLWS_WITH_MBEDTLS=ON \
        -DLWS_MBEDTLS_INCLUDE_DIRS="$prefix/include" \
        -DLWS_MBEDTLS_LIBRARIES="$prefix/lib/libmbedtls.a;$prefix/lib/libmbedx509.a;$prefix/lib/libmbedcrypto.a" \
        -DLWS_WITHOUT_EXTENSIONS=OFF -DLWS_WITH_ZLIB=ON -DLWS_ZLIB_INCLUDE_DIRS="$prefix/include" \
        -DLWS_ZLIB_LIBRARIES="$prefix/lib/libz.a" -DLWS_WITHOUT_TESTAPPS=ON \
        -DLWS_WITH_MINIMAL_EXAMPLES=OFF -DLWS_WITH_HTTP2=OFF -DLWS_WITH_NETLINK=OFF \
        -DLWS_WITH_CONMON=OFF -DLWS_WITHOUT_SERVER=ON -DLWS_WITH_SYS_SMD=OFF
    touch "$prefix/.done"
fi
mkdir -p .deps
ln -sfn "$prefix" ".deps/release-$arch"
echo "$prefix"
