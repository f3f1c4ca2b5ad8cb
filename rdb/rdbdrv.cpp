// placeholder until the RDB layers land
