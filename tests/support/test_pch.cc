// The translation unit that makes the test programs' precompiled header.
