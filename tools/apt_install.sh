# Sourced by the tools that install the Debian packages they find missing:
#   . tools/apt_install.sh && apt_install PACKAGE...
# Updates the package lists and installs without recommended packages, through sudo unless root.
apt_install() {
  local sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}
