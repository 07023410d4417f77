// placeholder: filled in by the issue that builds this piece
