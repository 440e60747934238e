# Sourced from the top of the tree: fetches Debian source packages through a private apt
# configuration (own sources list, lists and cache under $DEPS_CACHE/apt), so that the
# machine's apt and dpkg state stay untouched.
#   deps_source PACKAGE VERSION DESTDIR  unpacks the upstream tarball of the Debian source
#   package into DESTDIR/PACKAGE-VERSION and applies scripts/deps/patches/PACKAGE/*.patch.

DEPS_CACHE=${CVAGENT_DEPS_DIR:-/var/cache/cvagent-deps}
DEPS_SUITE=${CVAGENT_DEPS_SUITE:-trixie}
DEPS_PATCHES=$PWD/scripts/deps/patches

deps_apt_config() {
    apt=$DEPS_CACHE/apt
    if [ -f "$apt/apt.conf" ] && [ -n "$(find "$apt/lists" -name '*Sources*' -mmin -1440)" ]; then
        return
    fi
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$apt/prefs"
    : > "$apt/status"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "http://deb.debian.org/debian $DEPS_SUITE main" > "$apt/sources.list"
    cat > "$apt/apt.conf" <<CONF
Dir::State "$apt";
Dir::State::Lists "$apt/lists";
Dir::State::status "$apt/status";
Dir::Cache "$apt/cache";
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/parts";
Dir::Etc::Preferences "$apt/preferences";
Dir::Etc::PreferencesParts "$apt/prefs";
APT::Sandbox::User "root";
CONF
    APT_CONFIG=$apt/apt.conf apt-get update -qq
}

# The index may name a Debian revision whose .dsc and .debian.tar.xz are gone while the
# upstream tarball is still served: only that tarball is used, checked against the index.
deps_source() {
    package=$1 version=$2 dest=$3
    mkdir -p "$DEPS_CACHE/sources" "$dest"
    sums=$DEPS_CACHE/sources/$package-$version.sha256
    if ! (cd "$DEPS_CACHE/sources" && sha256sum -c --quiet "$sums" 2>/dev/null); then
        deps_apt_config
        export APT_CONFIG=$DEPS_CACHE/apt/apt.conf
        apt-cache showsrc "$package" |
            sed -n "s/^ \([0-9a-f]\{64\}\) [0-9]* \(${package}_${version}\.orig\.tar\.[a-z0-9]*\)$/\1  \2/p" |
            head -n1 > "$sums"
        revision=$(apt-cache showsrc "$package" |
            sed -n "s/^Version: \(\([0-9]*:\)\?$version-.*\)/\1/p" | head -n1)
        if [ ! -s "$sums" ] || [ -z "$revision" ]; then
            echo "deps: no $package $version in $DEPS_SUITE" >&2
            return 1
        fi
        (cd "$DEPS_CACHE/sources" && apt-get source -qq --download-only "$package=$revision" \
            >/dev/null 2>&1) || true
        if ! (cd "$DEPS_CACHE/sources" && sha256sum -c --quiet "$sums"); then
            echo "deps: upstream tarball of $package $revision missing or corrupt" >&2
            return 1
        fi
    fi
    unpack=$(mktemp -d "$dest/.unpack.XXXXXX")
    tar -xf "$DEPS_CACHE/sources/$(cut -d' ' -f3 "$sums")" -C "$unpack"
    rm -rf "${dest:?}/$package-$version"
    mv "$unpack"/* "$dest/$package-$version"
    rmdir "$unpack"
    for patch in "$DEPS_PATCHES/$package"/*.patch; do
        if [ -f "$patch" ]; then
            patch -s -d "$dest/$package-$version" -p1 < "$patch"
        fi
    done
}
