# Sourced from the top of the tree: fetches Debian source and binary packages through private
# apt configurations (own sources list, lists and cache under $DEPS_CACHE), so that the
# machine's apt and dpkg state stay untouched. The archive is the one the machine's own apt
# configuration names, so that a site's mirror or proxy is honoured.
#   deps_source PACKAGE VERSION DESTDIR  unpacks the upstream tarball of the Debian source
#   package into DESTDIR/PACKAGE-VERSION and applies scripts/deps/patches/PACKAGE/*.patch.
#   deps_binary_apt ARCH SUITE  prints an apt configuration file for ARCH's binary packages of
#   SUITE (lists refreshed once a day), for "APT_CONFIG=... apt-get download".

DEPS_CACHE=${CVAGENT_DEPS_DIR:-/var/cache/cvagent-deps}
DEPS_SUITE=${CVAGENT_DEPS_SUITE:-trixie}
DEPS_PATCHES=$PWD/scripts/deps/patches

# The first archive of the machine's apt sources (one-line or deb822 format) that carries the
# machine's own release with its "main" component: Debian's, or the site's mirror of it.
# CVAGENT_DEPS_ARCHIVE overrides it.
deps_archive_uri() {
    if [ -n "${CVAGENT_DEPS_ARCHIVE:-}" ]; then
        echo "$CVAGENT_DEPS_ARCHIVE"
        return
    fi
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    uri=$(for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        case $file in
        *.sources)
            awk -v release="$release" '
                function take() {
                    if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " release " ") &&
                        (" " comps " ") ~ / main / && uris != "") {
                        split(uris, u, " "); print u[1]
                    }
                    types = uris = suites = comps = ""
                }
                /^[ \t]*#/ { next }
                /^[ \t]*$/ { take(); next }
                { key = tolower($1); $1 = "" }
                key == "types:" { types = $0 }
                key == "uris:" { uris = $0 }
                key == "suites:" { suites = $0 }
                key == "components:" { comps = $0 }
                key == "enabled:" && tolower($0) ~ /no/ { types = "" }
                END { take() }' "$file"
            ;;
        *)
            sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$file" |
                awk -v release="$release" '$1 == "deb" && $3 == release {
                    for (i = 4; i <= NF; i++) if ($i == "main") print $2 }'
            ;;
        esac
    done | head -n1)
    if [ -z "$uri" ]; then
        echo "deps: no archive for $release with main in the machine's apt sources" \
            "(set CVAGENT_DEPS_ARCHIVE)" >&2
        return 1
    fi
    echo "${uri%/}"
}

# A private apt configuration in DIR: its own state, lists, cache and sources (SOURCES_LINE).
deps_apt_dir() {
    apt=$1 line=$2
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$apt/prefs"
    : > "$apt/status"
    echo "$line" > "$apt/sources.list"
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
}

deps_apt_config() {
    apt=$DEPS_CACHE/apt
    if [ -f "$apt/apt.conf" ] && [ -n "$(find "$apt/lists" -name '*Sources*' -mmin -1440)" ]; then
        return
    fi
    archive=$(deps_archive_uri) || return 1
    deps_apt_dir "$apt" "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] \
$archive $DEPS_SUITE main"
    APT_CONFIG=$apt/apt.conf apt-get update -qq
}

deps_binary_apt() {
    arch=$1 suite=$2
    apt=$DEPS_CACHE/apt-$arch-$suite
    if [ ! -f "$apt/apt.conf" ] || [ -z "$(find "$apt/lists" -name '*Packages*' -mmin -1440)" ]
    then
        archive=$(deps_archive_uri) || return 1
        deps_apt_dir "$apt" "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] \
$archive $suite main" >&2
        {
            echo "APT::Architecture \"$arch\";"
            echo "APT::Architectures { \"$arch\"; };"
        } >> "$apt/apt.conf"
        APT_CONFIG=$apt/apt.conf apt-get update -qq >&2 || return 1
    fi
    echo "$apt/apt.conf"
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
