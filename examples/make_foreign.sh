#!/usr/bin/env bash
# Rewrites the Stata and SAS versions of the example survey with our own
# writer (build/foreign-writer, on ReadStat): examples/stata/survey.dta and
# examples/sas/survey.sas7bdat with its catalog survey.sas7bcat, each with a
# data package descriptor on top (datapackage.json) that adds what the file
# cannot hold: the weight, the sets, roles, attributes, and the labels left out.
# The SAS catalog holds the one format the three media variables share:
# ReadStat's catalog writer loses formats in some catalogs of several.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
writer=${FOREIGN_WRITER:-$root/build/foreign-writer}
[ -x "$writer" ] || make -C "$root" build
cd "$root/examples"
"$writer" --version 118 --on-top stata/datapackage.json survey/datapackage.json stata/survey.dta
"$writer" --catalog-var media_tv --catalog-var media_radio --catalog-var media_web \
  --on-top sas/datapackage.json survey/datapackage.json sas/survey.sas7bdat
