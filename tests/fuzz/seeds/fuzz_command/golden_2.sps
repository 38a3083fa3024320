CODEBOOK sex age region $media.
