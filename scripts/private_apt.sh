# Sourced: private_apt DIR sets apt_opts to an apt configuration that keeps its sources, lists,
# package state and downloads under DIR, so that reading another suite or architecture leaves
# the machine's own apt state as it is. DIR/sources.list is the caller's to write.
private_apt() {
  local dir="$1"
  mkdir -p "$dir/lists/partial" "$dir/archives/partial"
  [ -e "$dir/status" ] || : >"$dir/status"
  apt_opts=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
    -o "Dir::State::Lists=$dir/lists" -o "Dir::State::status=$dir/status" -o "Dir::Cache=$dir"
    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "Debug::NoLocking=1")
}
