// The maildig executable: start-up, one action per run, and the exit code.
int main() { return 0; }
