# Debian 12 packages Kavrel needs to build, test and run; sourced by the scripts.
kavrel_packages=(
    cmake g++ make
    qt6-base-dev qt6-serialport-dev
    fonts-liberation2
    poppler-utils
    desktop-file-utils appstream man-db
)
# The second compiler, for the sanitizer build: clang itself, and the runtimes of its
# sanitizers, which Debian ships apart (clang only recommends them).
kavrel_clang_packages=(clang libclang-rt-dev)

# Installs what is missing, non-interactively; does nothing when everything is present. Packages
# given as arguments are installed besides the list.
kavrel_install_missing() {
    local missing=()
    local package
    for package in "${kavrel_packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [[ $(id -u) -ne 0 ]] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq \
        && "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
