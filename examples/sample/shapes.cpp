#include "shapes.h"

namespace Geometry {

int Shape::s_created = 0;

Named::Named() : m_name("shape") {}

Named::~Named()
{
    m_name = nullptr;
}

const char *Named::name() const
{
    return m_name;
}

Shape::Shape(int id) : m_id(id)
{
    ++s_created;
}

Shape::~Shape()
{
    --s_created;
}

int Shape::created()
{
    return s_created;
}

Rectangle::Rectangle(int id, int width, int height) : Shape(id), m_width(width), m_height(height) {}

Rectangle::~Rectangle()
{
    m_width = m_height = 0;
}

int Rectangle::area() const
{
    return m_width * m_height;
}

Square::Square(int id, int side) : Rectangle(id, side, side) {}

Square::~Square() {}

int totalArea(const Shape *const *shapes, int count)
{
    int sum = 0;
    for (int i = 0; i < count; ++i)
        sum += shapes[i]->area();
    return sum;
}

} // namespace Geometry
