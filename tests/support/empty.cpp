// Keeps the support library non-empty while no helper needs a source file.
