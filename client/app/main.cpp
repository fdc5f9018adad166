// client: the Korvel client agent.

int main()
{
    return 0;
}
