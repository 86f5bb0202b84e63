// Holds the compiled-in images; the library needs one source of its own.
