#!/bin/sh
# The controller in a box: the armhf release tarball installed and run on a whole ARM Linux
# system under qemu-system-arm (machine "virt", Cortex-A15, 512 MiB), so that reboots, network
# restarts, power cuts and a clock at 1970 happen to the agent for real.
#
# Builds, once per package set, the box's kernel and initramfs from Debian's armhf packages
# (armmp kernel and its virtio, ext4 and failover modules, busybox-static, python3.11 for the
# simulated daemon), fetched through the project's private apt configuration into the deps
# cache, with the firmware's start-up scripts of box/firmware; then runs
# box/box.py, which boots the box against the reference server on the host and checks
# the scenarios it is given. Builds the armhf release first when dist/ has none.
#
# usage: scripts/box.sh [--ci] [box.py options]
#   --ci     the short check of scripts/test.sh: install, reboot and three power cuts
#   default: every scenario, 20 seeded power cuts, the planted fault and 3 minutes of footprint
set -eu
cd "$(dirname "$0")/.."
. scripts/deps/source.sh

SUITE=${CVAGENT_BOX_SUITE:-bookworm}
version=$(sed -n 's/^project(cvagent VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
tarball=dist/cvagent-$version-armhf.tar.gz
work=$PWD/build-box

for tool in qemu-system-arm mkfs.ext4 debugfs cpio; do
    command -v "$tool" > /dev/null || { scripts/setup.sh; break; }
done
[ -f "$tarball" ] || scripts/release.sh armhf > /dev/null

# The packages, from the machine's archive: the kernel the "armmp" meta-package names today.
export APT_CONFIG
APT_CONFIG=$(deps_binary_apt armhf "$SUITE")
kernel=$(apt-cache depends linux-image-armmp | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' |
    head -n1)
[ -n "$kernel" ] || { echo "box: no armmp kernel in $SUITE" >&2; exit 1; }
packages="$kernel busybox-static python3.11-minimal libpython3.11-minimal libpython3.11-stdlib
libc6 libexpat1 zlib1g libgcc-s1"
debs=$DEPS_CACHE/box-armhf-$SUITE
mkdir -p "$debs"
files=""
for package in $packages; do
    # The name apt-get download gives the file (an epoch's colon written "%3a").
    file=$(apt-cache show --no-all-versions "$package" | awk -v p="$package" '
        /^Version: / { v = $2; sub(/:/, "%3a", v) } /^Architecture: / { a = $2 }
        END { if (v != "") print p "_" v "_" a ".deb" }')
    [ -n "$file" ] || { echo "box: no $package in $SUITE" >&2; exit 1; }
    if [ ! -f "$debs/$file" ]; then
        # apt-get download checks the file against the signed index.
        (cd "$debs" && apt-get download -qq "$package" > /dev/null)
    fi
    files="$files $file"
done

# The kernel and initramfs, rebuilt when the packages, the firmware files, the simulated daemon
# or this script change.
key=$( (echo "$files"; cat scripts/box.sh tools/fakeminer/fakeminer.py sandbox/cgminer.conf;
    find box/firmware -type f | LC_ALL=C sort | xargs cat) | sha256sum | cut -c1-12)
image=$work/image-$key
if [ ! -f "$image/initrd.cpio" ]; then
    echo "box: building the box's kernel and initramfs ($kernel)"
    rm -rf "$work"/image-*
    stage=$image/stage
    x=$image/debs
    mkdir -p "$stage" "$x"
    for file in $files; do dpkg-deb -x "$debs/$file" "$x"; done
    cp "$x"/boot/vmlinuz-* "$image/vmlinuz"

    # Busybox and the python interpreter with the libraries it links (the rest of Debian's
    # dependencies serve modules the simulated daemon does not import).
    mkdir -p "$stage/bin" "$stage/sbin" "$stage/usr/bin" "$stage/usr/sbin" "$stage/proc" \
        "$stage/sys" "$stage/dev" "$stage/lib" "$stage/usr/lib" "$stage/etc/rcS.d" \
        "$stage/opt" "$stage/root"
    cp "$x/bin/busybox" "$stage/bin/busybox"
    ln -s busybox "$stage/bin/sh"
    cp -a "$x/lib/arm-linux-gnueabihf" "$x/lib/ld-linux-armhf.so.3" "$stage/lib/"
    if [ -d "$x/usr/lib/arm-linux-gnueabihf" ]; then
        cp -a "$x/usr/lib/arm-linux-gnueabihf" "$stage/usr/lib/"
    fi
    cp "$x/usr/bin/python3.11" "$stage/usr/bin/python3.11"
    cp -a "$x/usr/lib/python3.11" "$stage/usr/lib/"
    rm -rf "$stage/usr/lib/python3.11/test" "$stage/usr/lib/python3.11/ensurepip" \
        "$stage/usr/lib/python3.11/lib2to3" "$stage/usr/lib/python3.11/pydoc_data" \
        "$stage/usr/lib/python3.11/idlelib" "$stage/usr/lib/python3.11/config-"*
    # The daemon's process is called cgminer, as pidof and /proc/PID/comm show it.
    ln -s python3.11 "$stage/usr/bin/cgminer"
    mkdir -p "$stage/usr/lib/fakeminer"
    cp tools/fakeminer/fakeminer.py "$stage/usr/lib/fakeminer/fakeminer.py"
    # Byte code, which does not depend on the architecture, compiled here by the host's python
    # of the same version: the emulated one would compile the imported standard library at
    # every start of the daemon. (Another version's files are ignored, and compiled there.)
    /usr/bin/python3 -m compileall -q -j 2 -s "$stage" -p / "$stage/usr/lib/python3.11" \
        "$stage/usr/lib/fakeminer" > /dev/null || true

    # The modules the box needs, each after those it depends on (modinfo's "depends=").
    modules=$(cd "$x/lib/modules"/*/ && pwd)
    : > "$stage/etc/modules.load"
    add_module() {
        path=$(cd "$modules" && find kernel -name "$1.ko" | head -n1)
        [ -n "$path" ] || { echo "box: no module $1" >&2; exit 1; }
        grep -qx "$path" "$stage/etc/modules.load" && return 0
        for dep in $(tr '\0' '\n' < "$modules/$path" | sed -n 's/^depends=//p' | tr ',' ' '); do
            add_module "$dep"
        done
        path=$(cd "$modules" && find kernel -name "$1.ko" | head -n1)
        mkdir -p "$stage/lib/modules/$(dirname "$path")"
        cp "$modules/$path" "$stage/lib/modules/$path"
        echo "$path" >> "$stage/etc/modules.load"
    }
    # ext4 finds its checksum through the crypto API, which would load crc32c on demand.
    for module in virtio_mmio virtio_blk virtio_net crc32c_generic ext4; do
        add_module "$module"
    done

    cp -a box/firmware/. "$stage/"
    # The server's name, reached through qemu's forward of 10.0.2.100:443 to the host.
    printf '127.0.0.1 localhost\n10.0.2.100 api.corvane.io\n' > "$stage/etc/hosts"
    printf 'hosts: files dns\n' > "$stage/etc/nsswitch.conf"
    printf 'root:x:0:0:root:/root:/bin/sh\n' > "$stage/etc/passwd"
    printf 'root:x:0:\n' > "$stage/etc/group"
    # The chip hash-rate file, as the daemon's chips at the default settings fill it.
    settings=$(mktemp -d)
    mkdir -p "$settings/config"
    cp sandbox/cgminer.conf "$settings/config/cgminer.conf"
    /usr/bin/python3 tools/fakeminer/fakeminer.py --root "$settings" \
        --write-chip-hr "$stage/www/pages/cgi-bin/chip_hr.json"
    rm -rf "$settings"
    # Uncompressed: qemu loads it from the host's page cache in no time.
    (cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) > "$image/initrd.cpio"
    rm -rf "$x" "$stage"
fi

# The server's certificate, for the name the box's /etc/hosts gives the server.
if [ ! -f "$work/server.pem" ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 36500 \
        -subj /CN=api.corvane.io -addext subjectAltName=DNS:api.corvane.io \
        -keyout "$work/server-key.pem" -out "$work/server.pem" 2> /dev/null
fi

ci=false
if [ "${1:-}" = --ci ]; then
    ci=true
    shift
fi
set -- --kernel "$image/vmlinuz" --initrd "$image/initrd.cpio" --tarball "$tarball" \
    --build-dir build-release-armhf --cert "$work/server.pem" --key "$work/server-key.pem" \
    --work "$work" "$@"
if $ci; then
    set -- "$@" --scenario install reboot powercut --cuts 3
fi
exec /usr/bin/python3 box/box.py "$@"
