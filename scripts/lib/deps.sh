# Installs the Debian packages given as arguments when any is missing (idempotent).
zyl_require_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  # With recommends, as tested: Wine wants several of its recommended libraries.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

ZYL_LINUX_PACKAGES=(cmake ninja-build g++ clang-format pkg-config libsystemd-dev libgtest-dev libgmock-dev
                    libbenchmark-dev pciutils python3 ccache)
ZYL_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix googletest wine wine64)
ZYL_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# Building the MSI and the .deb (dpkg-dev: dpkg-shlibdeps and dpkg-buildflags).
ZYL_PACKAGE_PACKAGES=(wixl msitools dpkg-dev)
# Testing them: lintian, and a booted Debian root for the .deb.
ZYL_PACKAGE_TEST_PACKAGES=(lintian mmdebstrap systemd-container)
# The hostile-users stage: newuidmap and newgidmap, for the attacker's `unshare --user --map-auto`.
ZYL_HOSTILE_PACKAGES=(uidmap)
# The real-kernel stage: a Debian 12 machine under QEMU, its root made without mounting.
ZYL_VM_PACKAGES=(qemu-system-x86 mmdebstrap e2fsprogs python3)
