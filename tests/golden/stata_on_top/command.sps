CODEBOOK sex educ income interview_date region $media /FILEINFO LABEL DOCUMENTS WEIGHT CASECOUNT.
