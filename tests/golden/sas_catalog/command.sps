CODEBOOK media_tv media_radio sex income /FILEINFO LABEL CASECOUNT.
