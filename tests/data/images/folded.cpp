// Identical bodies: the linker folds these into one function with several names.
int addSeven(int a)
{
    return a + 7;
}

int plusSeven(int a)
{
    return a + 7;
}

extern "C" int sevenMore(int a)
{
    return a + 7;
}

int timesThree(int a)
{
    return a * 3;
}

int main()
{
    return addSeven(1) + plusSeven(2) + sevenMore(3) + timesThree(4);
}
