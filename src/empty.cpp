// Keeps a library whose folder has no sources yet linkable.
