CODEBOOK sex income visits $media /STATISTICS QUARTILES.
