// The start-up floor: a process that does nothing, built like verdane.
int main() { return 0; }
