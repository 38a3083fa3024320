CODEBOOK sex income visits $media /STATISTICS PERCENT.
