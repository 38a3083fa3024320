CODEBOOK sex income visits $media /STATISTICS COUNT.
