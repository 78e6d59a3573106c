#!/bin/sh
# Runs an init script's start_service and service_triggers the way
# /etc/rc.common would on the router, with stand-ins for the procd helpers
# (they print what the script sets, one line each) and for the UCI config
# functions (reading UCI files from a directory of our own).
#   procd_harness.sh INIT_SCRIPT UCI_CONFIG_DIR
set -eu
INIT_SCRIPT=$1
UCI_CONFIG_DIR=$2

# --- procd helpers: record --------------------------------------------------
procd_open_instance() { echo "open_instance ${1:-}"; }
procd_close_instance() { echo "close_instance"; }
procd_set_param() { _type=$1; shift; echo "set_param $_type $*"; }
procd_append_param() { _type=$1; shift; echo "append_param $_type $*"; }
procd_add_reload_trigger() { echo "reload_trigger $*"; }
procd_add_jail() { echo "jail $*"; }
procd_add_jail_mount() { echo "jail_mount $*"; }
procd_add_jail_mount_rw() { echo "jail_mount_rw $*"; }

# --- UCI config functions ---------------------------------------------------
# config_load flattens the package into lines "section<TAB>kind<TAB>option<TAB>value";
# anonymous sections are named cfgNN by their position.
_UCI_DATA=""
config_load() {
	_UCI_DATA=$(awk '
		function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
		function unquote(s,   q) {
			s = trim(s); q = substr(s, 1, 1)
			if ((q == "\047" || q == "\"") && length(s) >= 2 && substr(s, length(s), 1) == q)
				s = substr(s, 2, length(s) - 2)
			return s
		}
		{ line = trim($0) }
		line == "" || substr(line, 1, 1) == "#" { next }
		{
			word = line; sub(/[ \t].*$/, "", word)
			rest = line; sub(/^[^ \t]+[ \t]*/, "", rest)
		}
		word == "config" {
			n++
			if (rest ~ /[ \t]/) { name = rest; sub(/^[^ \t]+[ \t]+/, "", name); name = unquote(name) }
			else name = sprintf("cfg%02x", n)
			next
		}
		word == "option" || word == "list" {
			key = rest; sub(/[ \t].*$/, "", key)
			value = rest; sub(/^[^ \t]+[ \t]*/, "", value)
			printf "%s\t%s\t%s\t%s\n", name, word, key, unquote(value)
		}
	' "$UCI_CONFIG_DIR/$1")
}

_uci_values() {  # section option: one value a line
	printf '%s\n' "$_UCI_DATA" | awk -F '\t' -v s="$1" -v o="$2" '$1 == s && $3 == o { print $4 }'
}

config_get() {  # var section option [default]
	_var=$1
	if [ -n "$(_uci_values "$2" "$3")" ]; then
		_value=$(_uci_values "$2" "$3" | paste -s -d ' ' -)
	else
		_value=${4:-}
	fi
	eval "$_var=\$_value"
}

config_list_foreach() {  # section option callback [args...]
	_section=$1 _option=$2 _callback=$3
	shift 3
	# A here-document keeps the loop in this shell, so the callback's
	# variables survive it.
	while IFS= read -r _item; do
		[ -n "$_item" ] && "$_callback" "$_item" "$@"
	done <<LIST
$(_uci_values "$_section" "$_option")
LIST
}

. "$INIT_SCRIPT"
# The root-side preparation of the daemon's paths: recorded, not run.
harness_prepare() { echo "prepare $*"; }
PREPARE=harness_prepare
start_service
service_triggers
if type reload_service >/dev/null 2>&1; then echo "reload_service defined"; fi
