// The other `Same`: same name, other size and members.
namespace {
struct Same
{
    double weights[4];
    char code;
    int second() const;
    int third() const;
};

int Same::second() const
{
    return code + static_cast<int>(weights[0]);
}

int Same::third() const
{
    return second() * 2;
}
} // namespace

int sameB()
{
    Same same{{0.5, 1.5, 2.5, 3.5}, 3};
    return same.third();
}
