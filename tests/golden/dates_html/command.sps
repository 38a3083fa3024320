CODEBOOK interview_date start_time /VARINFO LABEL.
