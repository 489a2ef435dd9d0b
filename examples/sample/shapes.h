// A small class hierarchy for the demo: the patch-clean run finds every function below in the
// image's map and debug information.
#pragma once

namespace Geometry {

class Named
{
public:
    Named();
    virtual ~Named();
    const char *name() const;

protected:
    const char *m_name;
};

class Shape : public virtual Named
{
public:
    explicit Shape(int id);
    ~Shape() override;
    virtual int area() const = 0;
    int id() const { return m_id; }
    static int created();

private:
    int m_id;
    static int s_created;
};

class Rectangle : public Shape
{
public:
    Rectangle(int id, int width, int height);
    ~Rectangle() override;
    int area() const override;

private:
    int m_width;
    int m_height;
};

class Square : public Rectangle
{
public:
    Square(int id, int side);
    ~Square() override;
};

template <typename T, int Capacity> class Stack
{
public:
    Stack();
    ~Stack();
    bool push(const T &value);
    bool pop(T *value);
    int size() const;

private:
    T m_items[Capacity];
    int m_size;
};

int totalArea(const Shape *const *shapes, int count);

} // namespace Geometry

// Free functions with C linkage, as an old C module of the program would have them.
extern "C" int clampValue(int value, int low, int high);
extern "C" int checksum(const unsigned char *data, int length);
