#!/usr/bin/env Rscript
# The benchmark survey's codebook numbers the way a data.table user would compute them.
#
#   Rscript bench/peers/datatable_codebook.R bench/out/survey-N/datapackage.json
#
# Weighted counts and percents of every categorical variable (user-missing codes
# counted as missing), weighted valid/missing N, mean, standard deviation and
# quartiles of every scale variable, and the counts of both multiple-response sets.
# The variable lists are those of bench/generate_dataset.py.
suppressPackageStartupMessages(library(data.table))

categorical <- list(region = 99, sex = 9, educ = 97:99, satisfaction = 8, trust = NULL,
                    employment = NULL, country = NULL, postcode = NULL, media_tv = NULL,
                    media_radio = NULL, media_web = NULL, media_print = NULL,
                    brand1 = NULL, brand2 = NULL, brand3 = NULL)
scale <- list(id = NULL, age = 999, income = 999999, tv_hours = NULL, height = NULL,
              interview_date = NULL, household = NULL, weight = NULL)
labelled_scale <- list(tv_hours = c(0, 24))
maxcats <- 200

wquantiles <- function(x, w, ps) {
  o <- order(x)
  xs <- x[o]
  cw <- cumsum(w[o])
  sapply(ps, function(p) xs[min(length(xs), findInterval(p * cw[length(cw)], cw, left.open = TRUE) + 1)])
}

args <- commandArgs(trailingOnly = TRUE)
dt <- fread(file.path(dirname(args[1]), "survey.csv"), encoding = "UTF-8")
dt[, interview_date := as.numeric(as.POSIXct(interview_date, tz = "UTC"))]
dt <- dt[!is.na(weight) & weight > 0]
total <- dt[, sum(weight)]
cat("cases", nrow(dt), "weighted", total, "\n")

for (col in names(categorical)) {
  counts <- dt[, .(count = sum(weight)), keyby = col]
  if (nrow(counts) > maxcats) {
    cat(col, "more than", maxcats, "values\n")
    next
  }
  counts[, percent := 100 * count / total]
  v <- counts[[col]]
  miss <- counts[is.na(v) | v %in% categorical[[col]], sum(count)]
  print(counts)
  cat(col, "missing", miss, "\n")
}

for (col in names(scale)) {
  x <- dt[[col]]
  valid <- !is.na(x) & !(x %in% scale[[col]])
  xv <- x[valid]
  wv <- dt$weight[valid]
  n <- sum(wv)
  m <- weighted.mean(xv, wv)
  s <- sqrt(sum(wv * (xv - m)^2) / (n - 1))
  cat(col, "valid", n, "missing", total - n, "mean", m, "sd", s, "quartiles",
      wquantiles(xv, wv, c(0.25, 0.5, 0.75)), "\n")
  if (!is.null(labelled_scale[[col]])) print(dt[x %in% labelled_scale[[col]], .(count = sum(weight)), keyby = col])
}

media <- c("media_tv", "media_radio", "media_web", "media_print")
print(dt[, lapply(.SD, function(v) sum(weight[v == 1])), .SDcols = media])
cat("$media cases", dt[, sum(weight[Reduce(`|`, lapply(.SD, function(v) v == 1))]), .SDcols = media], "\n")
brands <- melt(dt[, .(brand1, brand2, brand3, weight)], id.vars = "weight", na.rm = TRUE)
print(brands[, .(count = sum(weight)), keyby = value])
cat("$brands cases", dt[!is.na(brand1) | !is.na(brand2) | !is.na(brand3), sum(weight)], "\n")
