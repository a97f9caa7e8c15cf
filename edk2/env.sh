# Sourced by the EDK2 scripts: where the EDK2 tree, its workspace (Conf/, Build/) and our
# package live. EDK2_TREE must be set (edk2/get_edk2.sh prints it).
sb_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sb_cache=${EDK2_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sb-edk2}
export WORKSPACE="$sb_cache/workspace"
export PACKAGES_PATH="$EDK2_TREE:$sb_repo/edk2:$sb_repo:$WORKSPACE"
export EDK_TOOLS_PATH="$EDK2_TREE/BaseTools"
export CONF_PATH="$WORKSPACE/Conf"
mkdir -p "$WORKSPACE" "$CONF_PATH"
# edksetup.sh copies the template Conf files on first use and puts BaseTools on PATH.
set +u
# shellcheck disable=SC1091
. "$EDK2_TREE/edksetup.sh" BaseTools >/dev/null
set -u
