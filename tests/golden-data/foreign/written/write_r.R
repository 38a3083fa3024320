# Stata and SAS files as R users write them, for tests/reference/foreign_reference.py.
# Written with R 4.2.2, foreign 0.8.84 and haven 2.5.1 (Debian r-base-core, r-cran-haven):
#   Rscript write_r.R     (in this folder)
library(foreign)
library(haven)

# foreign::write.dta: version 6 writes release 108, 7 release 110, 10 release 114.
# Factors become value labels; dates and times stay numbers (days, and days
# with a fraction), as this writer leaves them.
df <- data.frame(
  id = 1:8,
  score = c(1.5, 2.25, NA, 4, 5.125, 6, 7.5, 8),
  fac = factor(c("yes", "no", "yes", NA, "maybe", "no", "yes", "no"), levels = c("no", "maybe", "yes")),
  city = c("Zurich", "Koeln", "Montreal", "Oslo", "Sao Paulo", "Bern", NA, "Oslo"),
  bday = as.Date("1970-01-01") + c(0, 1, 365, -1, NA, 3, 4, 5),
  lgl = c(TRUE, FALSE, NA, TRUE, TRUE, FALSE, TRUE, FALSE),
  a_variable_name_longer_than_32_chars = 1:8,
  stringsAsFactors = FALSE
)
attr(df, "var.labels") <- c("Respondent", "Test score", "Answer", "City", "Date of birth", "Logical", "Long")
for (v in c(6, 7, 10)) write.dta(df, sprintf("r_foreign_v%d.dta", v), version = v)

# haven::write_dta: labelled vectors (tagged missing values .a-.z with
# labels), factors, variable labels, dates and times; version 8 writes
# release 113, 12 release 115, 13 release 117, 15 release 118.
h <- data.frame(id = 1:12, score = c(1.5, 2.25, NA, 4, 5.125, 6, 7.5, 8, 9.75, 10, 11, 12.5))
h$sex <- labelled(c(1, 2, 1, 2, 1, 2, 1, 2, 1, 2, NA, tagged_na("a")),
                  c(Male = 1, Female = 2, Refused = tagged_na("a")), label = "Sex of respondent")
h$educ <- labelled(c(1L, 2L, 3L, 1L, 2L, 3L, 1L, 2L, 3L, 9L, 1L, 2L), c(Low = 1L, Mid = 2L, High = 3L, Missing = 9L))
h$city <- c("Zürich", "Köln", "Montréal", "Oslo", "São Paulo", "", "Zürich", "Köln", "Oslo", "Oslo", "a", "b")
h$bday <- as.Date("1970-01-01") + c(0, 1, 365, -1, 10000, NA, 3, 4, 5, 6, 7, 8)
h$stamp <- as.POSIXct("2026-03-01 08:00:00", tz = "UTC") + c(0, 1, 60, 3600, 86400, NA, 2.5, 7, 8, 9, 10, 11)
h$fac <- factor(c("yes", "no", "yes", "maybe", "no", "yes", "yes", "no", "yes", "maybe", NA, "no"),
                levels = c("no", "maybe", "yes"))
h$tm <- c(1, 2, tagged_na("b"), tagged_na("z"), 5, 6, 7, 8, 9, 10, 11, tagged_na("a"))
h$big <- c(1e10, 2e10, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12)
attr(h$score, "label") <- "Test score"
attr(h$city, "label") <- "City of residence"
attr(h$bday, "label") <- "Date of birth"
for (v in c(8, 12, 13)) write_dta(h, sprintf("haven_v%d.dta", v), version = v, label = "Written by haven")
h$note <- c(strrep("x", 2100), "short", rep("y", 10))  # longer than 2045 bytes: a strL
write_dta(h, "haven_v15.dta", version = 15, label = "Written by haven")

# haven::write_xpt (version 5, and 8 with a long name and label) and write_sas.
# SAS's missing codes are .A-.Z: haven writes them from upper-case tags.
x <- h[, c("id", "score", "educ", "city", "bday", "stamp", "big")]
x$sex <- labelled(c(1, 2, 1, 2, 1, 2, 1, 2, 1, 2, NA, tagged_na("A")), c(Male = 1, Female = 2), label = "Sex of respondent")
x$tm <- c(1, 2, tagged_na("B"), tagged_na("Z"), 5, 6, 7, 8, 9, 10, 11, NA)
write_xpt(x, "haven_v5.xpt", version = 5, name = "HAVEN")
x8 <- x
x8$tm <- NULL  # haven refuses tagged values in a version 8 transport file
names(x8)[2] <- "a_rather_long_variable_name"
attr(x8[[2]], "label") <- paste("A label longer than forty bytes, as version 8 allows:", strrep("L", 50))
write_xpt(x8, "haven_v8.xpt", version = 8, name = "HAVEN8")
write_sas(x, "haven.sas7bdat")

# Every extended missing code at once, each with a label; a label on a code
# the data never has; a factor with a level no case has; dates before 1960,
# before 1582-10-15 and in the year 9999 (release 114, as version 10 writes).
set.seed(7)
t <- data.frame(id = 1:40)
t$q1 <- labelled(c(rep(1:5, 6), tagged_na(c("a", "b", "c", "z", "z", "y", "a", "a")), NA, NA),
                 c(setNames(1:5, paste("Level", 1:5)), setNames(tagged_na(letters), paste("Reason", toupper(letters)))),
                 label = "Question one")
t$yn <- labelled(rep(c(0, 1, 1, 0), 10), c(No = 0, Yes = 1, "Never given" = 7))
t$fac <- factor(rep(c("alpha", "beta", "gamma", "beta"), 10), levels = c("gamma", "alpha", "beta", "unused"))
t$day <- as.Date("2001-02-03") + c(0:33, NA, -20000, -152559, -152558, -152557, 2920561)
write_dta(t, "haven_tagged_v10.dta", version = 10, label = "Every code")

# SAS's date, time and other formats as haven sets them (format.sas), the
# special missing values ._, .A and .Z, a text of more than 200 bytes and a
# label with quotes and non-ASCII letters.
s <- data.frame(id = 1:12)
s$d9 <- as.Date("2010-05-06") + 0:11; attr(s$d9, "format.sas") <- "DATE9"
s$dt <- as.POSIXct("2020-01-01", tz = "UTC") + (0:11) * 86461.5; attr(s$dt, "format.sas") <- "DATETIME20"
s$tm <- hms::hms(seconds = (0:11) * 997); attr(s$tm, "format.sas") <- "TIME8"
s$ymd <- as.Date("2010-05-06") + (0:11) * 3; attr(s$ymd, "format.sas") <- "YYMMDD10"   # F8.2, days as stored
s$iso <- as.Date("2010-05-06") + (0:11) * 5; attr(s$iso, "format.sas") <- "E8601DA"    # F8.2, days as stored
s$us <- as.Date("1959-12-25") + (0:11) * 7; attr(s$us, "format.sas") <- "MMDDYY10"
s$miss <- c(1:6, tagged_na(c("_", "A", "Z", "Z")), NA, 1)
s$text <- c(strrep("L", 210), "short", rep(c("Ünï", "plain"), 5))
s$val <- (1:12) * 2.5
attr(s$val, "label") <- "He said \"hi\" and 'bye' – Größe €"
write_sas(s, "haven_formats.sas7bdat")
