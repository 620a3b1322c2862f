// Entry of the activator. Placeholder until start-up lands.
int main() { return 0; }
