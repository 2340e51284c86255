# Shared by the scripts: one rule for parallel jobs. KVO_JOBS overrides it;
# otherwise every online processor (the shared CI machine sets KVO_JOBS=2).
kvo_jobs() {
    local jobs=${KVO_JOBS:-}
    if ! [[ $jobs =~ ^[1-9][0-9]*$ ]]; then jobs=$(nproc 2>/dev/null || echo 1); fi
    echo "$jobs"
}
