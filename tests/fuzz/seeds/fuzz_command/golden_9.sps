CODEBOOK age TO age.
CODEBOOK $nosuch.
CODEBOOK sex sex.
CODEBOOK age TO $media.
CODEBOOK $ALL $media.
CODEBOOK region [S] age [X] $media [O] /STATISTICS NONE /VARINFO TYPE.
CODEBOOK sex [N /STATISTICS NONE.
CODEBOOK nosuchvar.
