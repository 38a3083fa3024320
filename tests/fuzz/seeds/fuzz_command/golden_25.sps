CODEBOOK sex income visits $media /STATISTICS STDDEV.
