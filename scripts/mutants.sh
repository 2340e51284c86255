#!/usr/bin/env bash
# Plants realistic faults one at a time in the working tree, rebuilds the test
# program that should notice, runs the chosen tests and puts the file back.
#   scripts/mutants.sh [name-filter]    e.g. scripts/mutants.sh sampler
# Builds in build-mutants/ (KVO_MUTANTS_BUILD), -j2; each test run is cut off
# after KVO_MUTANTS_TIMEOUT seconds (a hang counts as killed). Each test
# selection runs once on the untouched tree first; a fault whose tests fail
# there too is reported as baseline-failed, not killed. With
# KVO_MUTANTS_CHECK=1 it only reports which snippets are still present.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${KVO_MUTANTS_BUILD:-build-mutants}
limit=${KVO_MUTANTS_TIMEOUT:-180}
filter=${1:-}
logs=$build/mutants
backup=$(mktemp)
planted=""

# The planted file always goes back, also on Ctrl-C or a failing step.
restore() {
    [[ -n $planted ]] || return 0
    cp "$backup" "$planted"
    if ! git diff --quiet -- "$planted"; then
        echo "mutants: $planted differs from git after the restore" >&2
        exit 3
    fi
    planted=""
}
trap 'restore; rm -f "$backup"' EXIT
trap 'restore; exit 130' INT TERM

# Replaces the one occurrence of $2 in file $1 by $3; status 3 unless exactly one.
plant() {
    python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1:4]
with open(path) as f:
    text = f.read()
if text.count(old) != 1:
    sys.exit(3)
with open(path, "w") as f:
    f.write(text.replace(old, new, 1))
PY
}

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -DKVO_WERROR=OFF >/dev/null || exit 1
fi
mkdir -p "$logs"
# Some tests load targets they do not link (the comm library, the probes): build all once.
if [[ -z ${KVO_MUTANTS_CHECK:-} ]] && ! cmake --build "$build" -j2 >"$logs/build.log" 2>&1; then
    echo "mutants: the untouched tree does not build, see $logs/build.log" >&2
    exit 1
fi
if ! git diff --quiet; then
    echo "mutants: note: the working tree has uncommitted changes" >&2
fi

# Runs each selected test in a process of its own, as ctest does (some tests
# rely on a fresh process); stops at the first failure.
run_tests() {
    local program=$1 selection=$2 suite="" line
    local list
    list=$(timeout 60 "$program" --gtest_list_tests --gtest_filter="$selection") || return 1
    local count=0
    while IFS= read -r line; do
        line=${line%%#*}
        if [[ $line != " "* ]]; then
            suite=$(trim "$line")
            continue
        fi
        count=$((count + 1))
        timeout "$limit" "$program" --gtest_filter="$suite$(trim "$line")" || return 1
    done <<<"$list"
    [[ $count -gt 0 ]] || { echo "no test matches $selection"; return 2; }
    return 0
}

killed=0 survived=0 skipped=0
declare -A baseline  # "program tests" -> 0 when they pass without a fault

# A kill counts only when the same tests pass on the untouched tree.
baseline_passes() {
    local key="$1 $2"
    if [[ -z ${baseline[$key]:-} ]]; then
        # Rebuilt first: the last fault's build of this program may still be in place.
        local log=$logs/baseline-$1-${2//[^A-Za-z0-9]/_}.log
        cmake --build "$build" -j2 --target "$1" </dev/null >"$log" 2>&1 &&
            run_tests "$build/tests/$1" "$2" >>"$log" 2>&1 </dev/null
        baseline[$key]=$?
    fi
    [[ ${baseline[$key]} -eq 0 ]]
}
# One fault: name, file, test program and gtest filter, original and replacement.
run_fault() {
    local name=$1 file=$2 program=$3 tests=$4 old=${5%$'\n'} new=${6%$'\n'}
    [[ -z $filter || $name == *"$filter"* ]] || return 0
    if [[ -z ${KVO_MUTANTS_CHECK:-} ]] && ! baseline_passes "$program" "$tests"; then
        printf '%-10s %s\n' baseline-failed "$name"
        skipped=$((skipped + 1))
        return 0
    fi
    cp "$file" "$backup"
    planted=$file
    if ! plant "$file" "$old" "$new"; then
        restore
        printf '%-10s %s\n' stale "$name"
        skipped=$((skipped + 1))
        return 0
    fi
    if [[ -n ${KVO_MUTANTS_CHECK:-} ]]; then  # only check that the snippet is there
        restore
        printf '%-10s %s\n' present "$name"
        return 0
    fi
    if ! cmake --build "$build" -j2 --target "$program" </dev/null >"$logs/$name.build" 2>&1; then
        restore
        printf '%-10s %s\n' build-failed "$name"
        skipped=$((skipped + 1))
        return 0
    fi
    run_tests "$build/tests/$program" "$tests" >"$logs/$name.log" 2>&1 </dev/null
    local rc=$?
    restore
    if [[ $rc -eq 2 ]]; then
        printf '%-10s %s\n' no-tests "$name"
        skipped=$((skipped + 1))
    elif [[ $rc -ne 0 ]]; then
        printf '%-10s %s\n' killed "$name"
        killed=$((killed + 1))
    else
        printf '%-10s %s\n' SURVIVED "$name"
        survived=$((survived + 1))
    fi
}

# The faults: "@ name | file | program | gtest filter", then the original lines
# (each "-"-prefixed) and the replacement lines ("+"-prefixed; none deletes).
# The last original line may be the start of a line, to keep snippets short.
faults() {
    cat <<'EOF'
@ platform-ini-semicolon-comment | src/platform/ini.cpp | test_platform | Ini*
-    if (begin == end || *begin == ';' || *begin == '#') return;
+    if (begin == end || *begin == '#') return;
@ platform-ini-hash-comment | src/platform/ini.cpp | test_platform | Ini*
-    if (begin == end || *begin == ';' || *begin == '#') return;
+    if (begin == end || *begin == ';') return;
@ platform-ini-first-key-wins | src/platform/ini.cpp | test_platform | Ini*
-    file->lastIndex[{*section, key}] = file->entries.size();
+    file->lastIndex.emplace(std::make_pair(*section, key), file->entries.size());
@ platform-ini-int-clamp | src/platform/ini.cpp | test_platform | Ini*
-    if (value > INT_MAX) return INT_MAX;
+    if (value > INT_MAX) return INT_MIN;
@ platform-path-dotdot-climbs | src/platform/path.cpp | test_platform | Path*
-            if (!parts.empty() && parts.back() != "..") {
+            if (!parts.empty()) {
@ platform-timer-due-late | src/platform/event_loop.cpp | test_platform | EventLoop*
-    return timer->active && !timer->closed && timer->periodMs != 0 && timer->dueMs <= now;
+    return timer->active && !timer->closed && timer->periodMs != 0 && timer->dueMs < now;
@ platform-timer-catch-up-burst | src/platform/event_loop.cpp | test_platform | EventLoop*
-            timer->dueMs = now + timer->periodMs;
+            timer->dueMs += timer->periodMs;
@ platform-env-range-clamp | src/platform/env.cpp | test_platform | *
-        *value = below ? low : high;
+        *value = below ? high : low;
@ scheduler-limit-upper-bound | src/scheduler/ctrlobject.h | test_scheduler | *
-    return limit >= 0.1 && limit <= 100.0;
+    return limit >= 0.1 && limit < 100.0;
@ scheduler-step-rule | src/scheduler/threadctrlobject.cpp | test_scheduler | ThreadCtrl*
-    if (distance >= 2.0f) return {0.125f, 4};
+    if (distance >= 2.0f) return {0.125f, 8};
@ scheduler-gone-thread-only-esrch | src/scheduler/ctrlobjectbase.cpp | test_scheduler | *
-    if (signalResult == ESRCH || signalResult == EINVAL) Detach();
+    if (signalResult == ESRCH) Detach();
@ scheduler-adjust-keeps-history-index | src/scheduler/threadctrlobject.cpp | test_scheduler | ThreadCtrl*
-    WordStore(m_historyIndex, 0);
@ scheduler-short-sleep-kept | src/scheduler/threadctrlobject.cpp | test_scheduler | ThreadCtrl*
-    if (sleepMs <= 1) sleepMs = 0;
+    if (sleepMs < 1) sleepMs = 0;
@ scheduler-stop-one-early | src/scheduler/cpuschedule.cpp | test_scheduler | ScheduleTest*
-    if (m_initCount == 0) TearDownLocked();
+    if (m_initCount <= 1) TearDownLocked();
@ scheduler-stat-total-six-fields | src/scheduler/procstat.cpp | test_scheduler | ProcStat*
-    for (long long field : {user, nice, system, idle, iowait, irq, softirq}) {
+    for (long long field : {user, nice, system, idle, iowait, irq}) {
@ scheduler-thread-time-user-only | src/scheduler/procstat.cpp | test_scheduler | ProcStat*
-    return utime + stime;
+    return utime;
@ config-group-nan | src/config/autoconf_groups.cpp | test_config | CpuGroups*
-    if (std::isnan(limit)) return 0.0f;
+    if (std::isnan(limit)) return 100.0f;
@ config-group-no-lower-bound | src/config/autoconf_groups.cpp | test_config | CpuGroups*
-    return static_cast<float>(std::clamp(limit, 0.0, 100.0));
+    return static_cast<float>(std::min(limit, 100.0));
@ config-profile-cpu-bound | src/config/autoconf.cpp | test_config | Autoconf*
-    if (machine.cpus <= conf.cpu_cnt) return kProfileWeak;
+    if (machine.cpus < conf.cpu_cnt) return kProfileWeak;
@ config-exclusion-kind | src/config/autoconf_groups.cpp | test_config | ExclusionPaths*
-    if (kind == 1) return;
+    if (kind != 0) return;
@ config-split-without-separator | src/config/autoconf_groups.cpp | test_config | ExclusionPaths*
-    if (found == std::string::npos) return;
@ quota-sub-overshoot-bound | src/quota/autocpu.cpp | test_quota | AutoCpu*
-        result = avgProc > over ? avgProc - over : ProcMin();
+        result = avgProc >= over ? avgProc - over : ProcMin();
@ quota-equal-steps-swapped | src/quota/autocpu.cpp | test_quota | AutoCpu*
-        return rising ? limit - 5.0f : limit - 1.0f;
+        return rising ? limit - 1.0f : limit - 5.0f;
@ quota-band-bound | src/quota/autocpu.cpp | test_quota | AutoCpu*
-    } else if (deviation > headroom / 1.6) {
+    } else if (deviation > headroom / 1.5) {
@ quota-minimum-against-request | src/quota/autocpu.cpp | test_quota | AutoCpu*
-    if (minimum > bounded) {
+    if (minimum > limit) {
@ quota-share-fallback | src/quota/autocpu.cpp | test_quota | AutoCpu*
-            share = kFallbackThreadShare;
+            share = kMaxThreadShare;
@ quota-sleep-not-held-off | src/quota/autocpu.cpp | test_quota | AutoCpu*
-    const SleepHeldOff held(m_ctrl);
-    {
-        // Lock order: m_monitorLock, then the scheduler's registry lock (inside Add)
+    {
+        // Lock order: m_monitorLock, then the scheduler's registry lock (inside Add)
@ quota-debug-set-text | src/quota/autocpu.cpp | test_quota | AutoCpu*
-    KVO_LOGD("current set cpu %0.2f", bounded);
+    KVO_LOGD("current set cpu %0.2f", limit);
@ quota-debug-sub-text | src/quota/autocpu.cpp | test_quota | AutoCpu*
-        "current system avg cpu %0.2f,  proc avg cpu %0.2f, last proc limit %0.2f, cur proc "
+        "current system avg cpu %0.2f, proc avg cpu %0.2f, last proc limit %0.2f, cur proc "
@ collector-dst-decided-by-mktime | src/collector/collector.cpp | test_collector | Collector*
-    broken.tm_isdst = 0;
+    broken.tm_isdst = -1;
@ collector-id-exact-compare | src/collector/collector.cpp | test_collector | Collector*
-    } else if (kvo_strnicmp(id, kCommProcessId, kCommIdLength) == 0) {
+    } else if (strcmp(id, kCommProcessId) == 0) {
@ collector-time-stored-after-figures | src/collector/collector.cpp | test_collector | Collector*
-    m_procInfo.time = time;
-    if (!GetNumber(body, "cpu", &m_procInfo.cpu)) return KVO_E_FAIL;
+    if (!GetNumber(body, "cpu", &m_procInfo.cpu)) return KVO_E_FAIL;
+    m_procInfo.time = time;
@ collector-unknown-id-text | src/collector/collector.cpp | test_collector | Collector*
-        KVO_LOGW("invalid id data (%s)", id);
+        KVO_LOGW("invalid id (%s)", id);
@ collector-month-unchecked | src/collector/collector.cpp | test_collector | Collector*
-    if (year < INT_MIN + 1900 || month == INT_MIN) return kCollectorNoTime;
+    if (year < INT_MIN + 1900) return kCollectorNoTime;
@ activity-keyboard-code-bound | src/activity/devmon.cpp | test_activity | Devmon*
-    return event.type == EV_KEY && event.code <= kLastKeyboardCode;
+    return event.type == EV_KEY && event.code < kLastKeyboardCode;
@ activity-sync-batch-succeeds | src/activity/devmon.cpp | test_activity | Devmon*
-    return tally->count > 0 ? KVO_OK : KVO_E_FAIL;
+    return KVO_OK;
@ activity-release-not-counted | src/activity/devmon.cpp | test_activity | Devmon*
-            tally->kind = keyboard ? DEV_EVENT_KEYBOARD : DEV_EVENT_POINTER;
+            if (event.value == 0) continue;
+            tally->kind = keyboard ? DEV_EVENT_KEYBOARD : DEV_EVENT_POINTER;
@ activity-report-not-reset | src/activity/devmon.cpp | test_activity | Devmon*
-    m_keyboardEvents = 0;
@ activity-idle-timer-not-reset | src/activity/userbehavior.cpp | test_activity | User*
-    if (m_timer != nullptr) cl_timerplus_reset(m_timer, WordLoad(m_conf->allow_time), 0);
@ activity-idle-when-either-quiet | src/activity/userbehavior.cpp | test_activity | User*
-    if (m_behaviorInfo[MSG_TYPE_MOUSE].active != 1 &&
+    if (m_behaviorInfo[MSG_TYPE_MOUSE].active != 1 ||
@ controller-cpu-count-not-rounded-up | src/controller/vurizeda.cpp | test_controller | Controller*
-    if (x / 100 > (long double)q) q += 1;
@ controller-ceilings-swapped | src/controller/vurizeda.cpp | test_controller | Controller*
-        SetCurrentAutoSysMaxCpu(WordLoad(m_autoConf.cpu_conf.sys_max));
+        SetCurrentAutoSysMaxCpu(WordLoad(m_autoConf.cpu_conf.sys_max_unused));
@ controller-groups-not-using-when-using | src/controller/vurizeda.cpp | test_controller | Controller*
-        SetCurGroupCpuLimit(0);
+        SetCurGroupCpuLimit(1);
@ controller-samples-while-disabled | src/controller/vurizeda.cpp | test_controller | Controller*:Exports*
-    if (GetEnableCpu() == 0) return;
@ controller-disable-keeps-threads | src/controller/vurizeda.cpp | test_controller | Controller*:Exports*
-    if (enable == 0) ClearMonitorThread();
@ comm-iowait-counted-busy | comm/sampler.cpp | test_collector | Sampler*:Publishing*
-    uint64_t idle = fields[3] + (fields.size() > 4 ? fields[4] : 0);
+    uint64_t idle = fields[3];
@ comm-process-share-utime-only | comm/sampler.cpp | test_collector | Sampler*:Publishing*
-    *ticks = utime + stime;
+    *ticks = utime;
@ comm-io-after-unreadable-before | comm/sampler.cpp | test_collector | Sampler*:Publishing*
-    if (before.haveIo && after.haveIo) {
+    if (after.haveIo) {
@ comm-io-per-millisecond | comm/sampler.cpp | test_collector | Sampler*:Publishing*
-    double value = static_cast<double>(bytes) * 1000.0 / static_cast<double>(elapsedMs);
+    double value = static_cast<double>(bytes) / static_cast<double>(elapsedMs);
@ comm-backward-delta-wraps | comm/sampler.cpp | test_collector | Sampler*:Publishing*
-uint64_t Delta(uint64_t before, uint64_t after) { return after > before ? after - before : 0; }
+uint64_t Delta(uint64_t before, uint64_t after) { return after - before; }
@ comm-first-sample-published | comm/sampler.cpp | test_collector | Sampler*:Publishing*
-        m_havePrevious = true;
-        return false;
+        m_havePrevious = true;
@ comm-oversized-bound | comm/delivery.cpp | test_collector | CommLibrary*
-    if (static_cast<size_t>(n) > kCommMaxMessage) {
+    if (static_cast<size_t>(n) >= kCommMaxMessage) {
@ comm-uninit-stops-early | comm/commlib.cpp | test_collector | CommLibrary*:Publishing*
-        if (--g_initCount > 0) return KVO_OK;
+        if (--g_initCount > 1) return KVO_OK;
@ scheduler-exact-sleeps-when-due | src/scheduler/exactctrlobject.cpp | test_scheduler | ExactCtrl*
-    if (left > 0) m_env->SleepMs(RoundToMs(left));
+    if (left >= 0) m_env->SleepMs(RoundToMs(left));
@ scheduler-exact-second-of-five-ticks | src/scheduler/exactctrlobject.cpp | test_scheduler | *
-    if (++m_ticksInSecond < 4) return;
+    if (++m_ticksInSecond < 5) return;
@ scheduler-status-root-unanswered | src/scheduler/statusport.cpp | test_scheduler | StatusPort*
-           (peer.uid == m_env->RealUid() || peer.uid == m_env->EffectiveUid() || peer.uid == 0);
+           (peer.uid == m_env->RealUid() || peer.uid == m_env->EffectiveUid());
@ platform-runtime-dir-group-bits | src/platform/runtime_dir.cpp | test_platform | RuntimeDir*
-    return S_ISDIR(st.st_mode) && st.st_uid == uid && (st.st_mode & 0777) == 0700;
+    return S_ISDIR(st.st_mode) && st.st_uid == uid && (st.st_mode & 0700) == 0700;
@ quota-push-ignores-join-mark | src/quota/autocpu.cpp | test_quota | AutoCpu*
-        if (!own && !joined->second.load(std::memory_order_relaxed)) {
+        if (!own && joined == group.joined.end()) {
@ tools-waterfill-idle-ask | tools/kvo-run/waterfill.cpp | test_tools | WaterFill*
-        const float ask = t.used >= kBusyFraction * t.limit ? cap : 1.25f * t.used + 1.0f;
+        const float ask = t.used >= kBusyFraction * t.limit ? cap : 1.25f * t.used;
@ comm-root-sender-untrusted | comm/delivery.cpp | test_collector | CommLibrary*
-            trusted = cred.uid == reg.ruid || cred.uid == reg.euid || cred.uid == 0;
+            trusted = cred.uid == reg.ruid || cred.uid == reg.euid;
EOF
}

trim() {
    local s=$1
    s=${s#"${s%%[![:space:]]*}"}
    printf '%s' "${s%"${s##*[![:space:]]}"}"
}
flush() {
    [[ -n ${name:-} ]] && run_fault "$name" "$file" "$program" "$tests" "$old" "$new"
    name=""
}
name=""
while IFS= read -r line; do
    case $line in
        "@ "*)
            flush
            IFS='|' read -r name file program tests <<<"${line#@ }"
            name=$(trim "$name") file=$(trim "$file") program=$(trim "$program")
            tests=$(trim "$tests")
            old="" new=""
            ;;
        -*) old+="${line#-}"$'\n' ;;
        +*) new+="${line#+}"$'\n' ;;
    esac
done < <(faults)
flush

echo "$killed killed of $((killed + survived)) ($skipped stale, build-failed, baseline-failed or without tests)"
