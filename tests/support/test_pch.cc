// The program whose compilation makes the test programs' precompiled header.
int main() { return 0; }
