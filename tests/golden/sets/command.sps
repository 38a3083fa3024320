CODEBOOK $media $brands.
