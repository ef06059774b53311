#!/usr/bin/env bash
# Checks the manual pages in man/ with `mandoc -T lint` (every warning,
# style ones included, fails the page) and the rc.d scripts with `sh -n`.
# One line per file, then "N passed, N failed"; exits 1 on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh mandoc

passed=0
failed=0

pass() {
	echo "ok    $1"
	passed=$((passed + 1))
}

fail() {
	echo "FAIL  $1"
	sed 's/^/      /' <<<"$2"
	failed=$((failed + 1))
}

# Two messages are let through.  "outdated mandoc.db lacks ..." is about
# the host's database of installed manuals, not about the page.
# "referenced manual not found" cannot be avoided: mandoc looks every .Xr
# up among the manuals installed under /usr/share/man of the machine it
# runs on, and neither a Debian host nor a FreeBSD one without this port
# and Perfetto's manuals installed has daemon(8), rc.conf(5), traced(8),
# perfetto(1) or these pages themselves; only a page that cites nothing
# avoids it.  The references between this project's own pages are checked
# here instead: one that names a page of man/ must give its section.
lint_page() {
	local page=$1 out macro name sec bad=""

	out=$(mandoc -T lint "$page" 2>&1 |
	    grep -v -e ': STYLE: referenced manual not found: Xr ' \
	    -e '^mandoc: outdated mandoc.db lacks ' || true)
	while read -r macro name sec; do
		sec=${sec%% *}
		if compgen -G "man/$name.*" >/dev/null && [ ! -f "man/$name.$sec" ]; then
			bad="$bad$page: .Xr $name $sec: no such page in man/"$'\n'
		fi
	done < <(grep '^\.Xr ' "$page")
	if [ -n "$bad" ]; then
		out="$out${out:+$'\n'}${bad%$'\n'}"
	fi
	if [ -z "$out" ]; then
		pass "$page"
	else
		fail "$page" "$out"
	fi
}

for page in man/*.[1-9]; do
	lint_page "$page"
done

for script in rc.d/*; do
	if out=$(sh -n "$script" 2>&1) && [ -x "$script" ] &&
	    grep -q "^# PROVIDE: $(basename "$script")\$" "$script"; then
		pass "$script"
	else
		fail "$script" "${out:-not executable, or its PROVIDE is not its name}"
	fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
