CODEBOOK sex income visits $media /STATISTICS MEAN.
