namespace vantora {}
