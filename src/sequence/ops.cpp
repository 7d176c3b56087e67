// placeholder until sequence operations land
