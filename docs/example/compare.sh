#!/usr/bin/env bash
# The README's worked example: a subject rider compared with a reference rider in one
# corner, from the joint review to coaching bullets and the wheel-lean comparison.
# usage: compare.sh [TORVANE] [WORK_FOLDER]   (needs jq)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
torvane="${1:-$here/../../build/torvane}"
work="${2:-$(mktemp -d)}"
doc="$work/joint-review.json"
cp "$here/joint-review.json" "$doc"

# Replaces the document with the output of a command that prints the changed document.
update() { "$@" > "$doc.next" && mv "$doc.next" "$doc"; }

# 1. Joint review: place or hide the elbow and leg joints of both riders.
grep -v '^#' "$here/joints.tsv" | while IFS=$'\t' read -r frame joint state x y; do
    point=()
    [ -n "${x:-}" ] && point=(--point "$x,$y")
    update "$torvane" review set-joint "$doc" --frame "$frame" --joint "$joint" --state "$state" "${point[@]}"
done

# 2. Pair decisions: a left-hand corner, comparable views, the inside knee closer to the tank.
"$torvane" review new-context "$doc" --pair A001 | jq '
    .subjectConfirmed = true | .referenceConfirmed = true | .cornerDirection = "left"
    | .comparability = ["leftElbow", "comparable", "rightElbow", "comparable",
                        "leftKnee", "comparable", "rightKnee", "comparable"]
    | .kneePlacement = ["leftKnee", "closerToTank"]' > "$work/context.json"
update jq --slurpfile context "$work/context.json" '.comparisonContexts = $context' "$doc"
"$torvane" review check "$doc"

# 3. Pair analysis with its provisional coaching bullets.
"$torvane" pair analyze "$doc" --pair A001 > "$work/report.json"
jq -r '.observations[] | "\(.feature): " + (if .delta then "subject minus reference \(.delta * 10 | round / 10) degrees"
                                           else .comparisonUnavailable end)' "$work/report.json"
jq -r '"unobservable knees: \(.unobservableKnees)", (.coaching[] | "* \(.title)\n  \(.detail)")' "$work/report.json"

# 4. Wheel lean: refused until the reviewer approves exactly this evidence.
"$torvane" lean compare "$doc" --pair A001
digest="$("$torvane" lean digest "$doc" --pair A001)"
update jq --arg digest "$digest" '.leanContexts.A001 = {approvalDigest: $digest, commonCue: true,
    comparableView: true, comparableHeading: true, comparableReference: true, comparableCameraRoll: true,
    similarSpeedReported: false}' "$doc"
"$torvane" lean compare "$doc" --pair A001
