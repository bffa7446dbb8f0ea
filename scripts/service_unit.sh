# Starting corvaned as its unit does, for the scripts that source this (run.sh, package_check.sh);
# the tests' harness (tests/service/service_harness.cpp) reads the same files.

# unit_capabilities UNIT_FILE: the unit's AmbientCapabilities= as setpriv takes them
# ("+net_admin,+bpf,…"). Later lines add to earlier ones and an empty one clears them, as in systemd;
# an inverted list ("~CAP_…") is not taken. Fails when the unit names none.
unit_capabilities() {
  local unit=$1 line value capability
  local -a names=() raised=()
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in
      AmbientCapabilities=*) value=${line#AmbientCapabilities=} ;;
      *) continue ;;
    esac
    read -r -a names <<<"$value"
    [ ${#names[@]} -gt 0 ] || { raised=(); continue; }
    for capability in "${names[@]}"; do
      case $capability in
        [Cc][Aa][Pp]_*) ;;
        *) echo "$unit: AmbientCapabilities= names \"$capability\", which setpriv would not take" >&2; return 1 ;;
      esac
      capability=${capability,,}
      raised+=("+${capability#cap_}")
    done
  done <"$unit"
  [ ${#raised[@]} -gt 0 ] || { echo "$unit: no AmbientCapabilities=" >&2; return 1; }
  local IFS=,
  echo "${raised[*]}"
}

# system_bus_config TEMPLATE SOCKET POLICY [EXTRA_POLICY]: packaging/dbus/system-bus.conf.in filled
# in, on standard output (EXTRA_POLICY on one line).
system_bus_config() {
  local template=$1 socket policy extra
  # Literal in sed's replacement: backslashes, '&' and the '|' that delimits it are escaped.
  socket=$(sed 's/[\\|&]/\\&/g' <<<"$2")
  policy=$(sed 's/[\\|&]/\\&/g' <<<"$3")
  extra=$(sed 's/[\\|&]/\\&/g' <<<"${4:-}")
  sed -e "s|@SOCKET@|$socket|g" -e "s|@POLICY@|$policy|g" -e "s|@EXTRA_POLICY@|$extra|g" "$template"
}
