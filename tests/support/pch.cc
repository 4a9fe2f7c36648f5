// The translation unit that carries the precompiled test header.
