# The cached x86-64 Debian sid root that tools/check-sid and
# tools/check-debug run in, entered with chroot (no emulation).  Sourced,
# not run: it defines the root's place, building it, entering it and
# mounting in it.  The caller sets `tool` (its name, for messages) first.
#
# The root is cached in $OSTREL_SID_ROOT (default ~/.cache/ostrel/sid-root)
# and rebuilt when it is missing, incomplete or made for another package
# list.  Needs root (debootstrap, chroot, mounts) and debootstrap.

root="${OSTREL_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/ostrel/sid-root}"
root="$(realpath -m "$root")"
# The root has every interpreter; a run may test fewer.
root_versions=(3.14 3.15)
packages="ca-certificates,g++,cmake,make"
for version in "${root_versions[@]}"; do
    packages+=",python$version,python$version-dev,python$version-venv"
done
mirror="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)"
mirror="${mirror:-http://deb.debian.org/debian}"
suite=sid
stamp="$root/.ostrel-root"
wanted_stamp="$suite $packages"

fail() {
    echo "$tool: $*" >&2
    exit 2
}

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8 \
        SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
        PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
}

root_is_usable() {
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted_stamp" ] || return 1
    local version
    for version in "${root_versions[@]}"; do
        in_root "python$version" -c 'import venv, sysconfig' 2>/dev/null || return 1
    done
    in_root /bin/sh -c 'command -v g++ && command -v cmake && command -v make' >/dev/null
}

# A root is built beside the cache and moved into place only when complete,
# so an interrupted build never looks usable.
build_root() {
    local partial="$root.partial"
    echo "== building the sid root in $root ($mirror)"
    rm -rf "$partial" "$root"
    debootstrap --variant=minbase --include="$packages" "$suite" "$partial" "$mirror"
    rm -rf "$partial"/var/cache/apt/archives/*.deb
    # sid's Release file may be past its Valid-Until by the time apt runs in
    # the root; the packages are still the signed ones.
    echo 'Acquire::Check-Valid-Until "false";' >"$partial/etc/apt/apt.conf.d/99ostrel-valid-until"
    echo "$wanted_stamp" >"$partial/.ostrel-root"
    mv "$partial" "$root"
}

# Processes started in the root (a hung test's, or what an interrupted run
# leaves) end with the run, so that nothing outlives it or holds the mounts.
end_processes_in_root() {
    local entry pid
    for entry in /proc/[0-9]*; do
        pid=${entry#/proc/}
        if [ "$pid" != $$ ] && [ "$(readlink "$entry/root" 2>/dev/null)" = "$root" ]; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    done
}

# Mounts are left behind by nothing: the exit trap undoes them.
mounted=()
cleanup() {
    local index
    end_processes_in_root
    for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
        umount "${mounted[index]}" 2>/dev/null || umount -l "${mounted[index]}" || true
    done
}

# $1: file system type, $2: source, $3: mount point inside the root, then options.
mount_in_root() {
    local target="$root/$3"
    mkdir -p "$target"
    mount -t "$1" "$2" "$target" "${@:4}"
    mounted+=("$target")
}

# The root locked for this run, built if it must be, and trusting what this
# machine trusts; the exit trap ends its processes and undoes its mounts.
enter_root() {
    [ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot and mounts)"
    command -v debootstrap >/dev/null || fail "debootstrap not found (apt-get install debootstrap)"
    [ "$(uname -m)" = x86_64 ] || fail "builds an x86-64 root, run it on an x86-64 machine"

    # One run at a time per root: another would rebuild or unmount it beneath us.
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9
    trap cleanup EXIT
    # A run ended by a signal (CI stopping a lane whose partner failed)
    # still undoes its mounts: the exit trap runs only on an exit.
    trap 'exit 143' TERM
    trap 'exit 130' INT
    # When this run had the root to itself: times reported from here leave
    # out the wait for another run.
    locked_at=$SECONDS

    if ! root_is_usable; then
        build_root
        root_is_usable || fail "the sid root in $root was built but does not run ${root_versions[*]} with a compiler"
    fi

    # pip in the root reaches the package index through whatever authority this
    # machine trusts: its locally added certificates are made the root's too.
    rm -rf "$root/usr/local/share/ca-certificates"
    mkdir -p "$root/usr/local/share/ca-certificates"
    if compgen -G '/usr/local/share/ca-certificates/*.crt' >/dev/null; then
        cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
    fi
    # Its rehash step warns about the bundle it wrote itself: shown on failure only.
    local rehashed
    if ! rehashed="$(in_root update-ca-certificates --fresh 2>&1)"; then
        echo "$rehashed" >&2
        fail "update-ca-certificates failed in the sid root"
    fi
    echo "== sid root ready after $((SECONDS - locked_at)) s"

    # psutil and multiprocessing need /proc and a shared-memory /dev/shm.
    mount_in_root proc proc proc
    mount_in_root tmpfs tmpfs dev/shm
}

# The checkout's sources and tests, copied fresh into $1 inside the root:
# nothing from an earlier run or from this machine's in-place build comes along.
copy_checkout() {
    local work="$root/$1"
    rm -rf "$work"
    mkdir -p "$work"
    (cd "$here" && tar --exclude='*.so' --exclude='__pycache__' -cf - CMakeLists.txt pyproject.toml README.md docs package tests examples) \
        | tar -xf - -C "$work"
}
