#include "shapes.h"

namespace Geometry {

template <typename T, int Capacity> Stack<T, Capacity>::Stack() : m_size(0) {}

template <typename T, int Capacity> Stack<T, Capacity>::~Stack()
{
    m_size = 0;
}

template <typename T, int Capacity> bool Stack<T, Capacity>::push(const T &value)
{
    if (m_size == Capacity)
        return false;
    m_items[m_size++] = value;
    return true;
}

template <typename T, int Capacity> bool Stack<T, Capacity>::pop(T *value)
{
    if (m_size == 0)
        return false;
    *value = m_items[--m_size];
    return true;
}

template <typename T, int Capacity> int Stack<T, Capacity>::size() const
{
    return m_size;
}

} // namespace Geometry

using namespace Geometry;

int main()
{
    Rectangle rect(1, 3, 4);
    Square square(2, 5);
    const Shape *shapes[] = {&rect, &square};
    Stack<int, 8> areas;
    areas.push(totalArea(shapes, 2));
    areas.push(Shape::created());
    Stack<const Shape *, 4> pending;
    pending.push(&rect);
    int last = 0;
    areas.pop(&last);
    const unsigned char bytes[] = {1, 2, 3, 4};
    return clampValue(last + checksum(bytes, 4) + areas.size() + pending.size(), 0, 255);
}
